#pragma once
#include "engine/win.h"

// A step that changes the installation through more than one call (an old
// file set aside and the new one moved in, the hand-off script rewritten)
// runs while a CommitStep lives. EndProcessBetweenSteps, the last resort of a
// stop that did not finish in time, admits no new step, waits for the ones
// under way and then ends the process, so a forced end never lands between
// two calls of one step and nothing is written after it.
class CommitStep {
 public:
  CommitStep();
  ~CommitStep();
  CommitStep(const CommitStep&) = delete;
  CommitStep& operator=(const CommitStep&) = delete;
};

// Ends the process with every thread in it. Steps under way get up to
// waitMs to finish; one that takes longer (a disk that does not answer) is
// cut all the same.
[[noreturn]] void EndProcessBetweenSteps(UINT exitCode, DWORD waitMs);

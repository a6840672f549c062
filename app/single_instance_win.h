#pragma once
#include <string>

#include "engine/handles_win.h"

// One dialog per installation folder: two would write the same LocalDate.ini,
// .tmp files and delete.bat. The claim is a named mutex in the global
// namespace keyed on the folder's identity (any user's session, any spelling
// of the path), held until the process ends, so two installations still
// update on their own. A mutex left abandoned by a crashed run counts as free.
// The name of the claim on a folder, as every updater of it computes it.
std::wstring SingleInstanceClaimName(const std::wstring& folder);

class SingleInstance {
 public:
  explicit SingleInstance(const std::wstring& folder);
  // False when another updater of the same folder holds the claim.
  bool IsFirst() const { return m_bFirst; }
  // Shows the other updater's dialog in front, waiting a little for it when
  // that updater is still fetching the update log.
  void BringOtherToFront() const;

 private:
  std::wstring m_folder;
  std::wstring m_identity;  // empty when the folder's identity cannot be read
  UniqueKernelHandle m_mutex;
  bool m_bFirst = true;
};

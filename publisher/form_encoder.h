#pragma once
#include "transfer/frames.h"

// The encoder generate writes forms and packed files with. Encoders made on
// one thread may share its state: use each on the thread that made it.
FrameEncoder MakeFormEncoder();

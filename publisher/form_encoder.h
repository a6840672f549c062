#pragma once
#include "transfer/frames.h"

// The encoder generate --compress writes forms with: one per form, so each
// thread that writes forms has its own.
FrameEncoder MakeFormEncoder();

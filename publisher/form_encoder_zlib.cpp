#include "publisher/form_encoder.h"

// No libdeflate is packaged for the Windows build: the tool there writes
// forms with zlib's encoder, a few per cent larger, in the same format.
FrameEncoder MakeFormEncoder() { return DefaultFrameEncoder(); }

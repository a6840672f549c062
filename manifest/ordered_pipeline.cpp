#include "manifest/ordered_pipeline.h"

unsigned DigestWorkerCount(unsigned processors) { return std::clamp(processors, 1u, 8u); }

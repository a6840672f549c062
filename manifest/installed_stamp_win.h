#pragma once
#include <string>

#include "manifest/digest_cache.h"

// The stamp of a file just put in place, as the folder listing reports it,
// for its digest cache entry. False when it cannot be had, or while another
// handle may still write the file.
bool StampOfInstalled(const std::wstring& path, FileStamp& stamp);

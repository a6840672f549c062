#pragma once
#include <string>

// Files a running program holds (a loaded DLL, a running exe) can be renamed
// but not replaced or deleted. Their old copies are moved into this folder of
// the installation, on the same volume, and removed by a later run once
// nothing holds them.
extern const wchar_t kSetAsideFolder[];  // "Updater.old"

// Puts temporary in place of final when final is in use. The old file is
// moved aside only once the new one is there to take its place, and is put
// back when that move fails: final is never left missing. False when final
// cannot even be renamed (held without share-delete); both files are then
// as they were.
bool ReplaceInUse(const std::wstring& folder, const std::wstring& temporary,
                  const std::wstring& final);

// Deletes the set-aside copies that nothing holds any more, and the folder
// once it is empty. A copy still held stays for the run after.
void RemoveSetAside(const std::wstring& folder);

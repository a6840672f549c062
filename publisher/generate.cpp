#include "publisher/generate.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string_view>
#include <thread>

#include "manifest/manifest_reader.h"
#include "manifest/md5.h"
#include "manifest/ordered_pipeline.h"
#include "manifest/read_through.h"
#include "publisher/code_page.h"
#include "publisher/form_encoder.h"
#include "publisher/system.h"
#include "publisher/text.h"
#include "publisher/tool_error.h"
#include "transfer/delta_index.h"
#include "transfer/frames.h"
#include "transfer/name_safety.h"
#include "transfer/pack.h"

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kReadSize = 1 << 20;
constexpr std::size_t kMaxNameErrors = 20;

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// A file written through "<path>.tmp" and moved into place only by Keep;
// any other ending removes the temporary file, so a failure never leaves a
// partial file under the final name.
class ReplacingFile {
 public:
  explicit ReplacingFile(const fs::path& path) : m_path(path), m_temporary(TemporaryPathFor(path)) {}
  ~ReplacingFile() { Drop(); }
  ReplacingFile(const ReplacingFile&) = delete;
  ReplacingFile& operator=(const ReplacingFile&) = delete;

  // Throws ToolError.
  void Open() {
    m_file.reset(OpenForWriting(m_temporary));
    if (!m_file) throw ToolError("cannot write " + DisplayPath(m_path) + ": " + std::strerror(errno));
  }

  // A failure to write shows at Keep.
  void Write(std::string_view bytes) {
    if (!m_failed && !bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), m_file.get()) != bytes.size()) {
      Failed();
    }
  }
  // Over the first bytes: a head whose room was written first.
  void WriteAtStart(std::string_view bytes) {
    std::rewind(m_file.get());
    Write(bytes);
  }

  // Throws ToolError.
  void Keep() {
    if (std::fclose(m_file.release()) != 0 && !m_failed) Failed();
    if (m_failed) {
      RemoveFile(m_temporary);
      throw ToolError("cannot write " + DisplayPath(m_path) + ": " + std::strerror(m_errno));
    }
    if (const auto reason = MoveReplacing(m_temporary, m_path)) {
      RemoveFile(m_temporary);
      throw ToolError("cannot replace " + DisplayPath(m_path) + ": " + *reason);
    }
  }

  void Drop() {
    if (!m_file) return;
    m_file.reset();
    RemoveFile(m_temporary);
  }

 private:
  void Failed() {
    m_failed = true;
    m_errno = errno;
  }

  fs::path m_path, m_temporary;
  FilePtr m_file;
  bool m_failed = false;
  int m_errno = 0;
};

// At most 90 % of the file. Any frame a client takes must save bytes, and a
// form that saves less than a tenth (media, archives) costs the client a
// table for nothing, a packed file its decoding.
bool SavesEnough(std::uint64_t stored, std::uint64_t length) {
  return stored <= length / 10 * 9 + length % 10 * 9 / 10;
}

// A file's compressed form on its way to disk, through "<form>.tmp": room for
// the head first (its size follows from the length), then the frames as they
// are encoded, then the head over the room. Only a form that pays off is
// moved into place; any other ending removes the temporary file.
class FormFile {
 public:
  FormFile(const fs::path& formPath, std::uint64_t length)
      : m_path(formPath), m_out(formPath), m_length(length), m_writer(length, kWriterFrameSize, MakeFormEncoder()) {}

  // Throws ToolError.
  void Open() {
    std::error_code failure;
    fs::create_directories(m_path.parent_path(), failure);
    if (failure) throw ToolError("cannot create " + DisplayPath(m_path.parent_path()) + ": " + failure.message());
    m_out.Open();
    m_pending.assign(static_cast<std::size_t>(m_writer.HeadLength()), '\0');
    Flush();
  }

  // In the read that hashes the file; a failure to write shows at Finish.
  void Add(const char* data, std::size_t size) {
    m_writer.Add(data, size, m_pending);
    Flush();
  }

  // True when the form was kept; false when it would not save enough to be
  // worth a request. Throws ToolError.
  bool Finish(const fs::path& source) {
    if (!m_writer.Finish(m_pending)) throw ToolError(DisplayPath(source) + " changed while it was read");
    Flush();
    if (!SavesEnough(m_writer.FormLength(), m_length)) {
      m_out.Drop();
      return false;
    }
    m_out.WriteAtStart(m_writer.Head());
    m_out.Keep();
    return true;
  }

  std::uint64_t FormLength() const { return m_writer.FormLength(); }

 private:
  void Flush() {
    m_out.Write(m_pending);
    m_pending.clear();
  }

  fs::path m_path;
  ReplacingFile m_out;
  std::uint64_t m_length;
  FramesWriter m_writer;
  std::string m_pending;
};

// A small file as the pack stores it.
struct PackedBytes {
  std::uint8_t codec = kPackStored;
  std::uint64_t length = 0;  // the file's
  std::string stored;
};

// One raw deflate stream of the whole file where that saves as much as a
// form must, else the file's bytes as they are.
PackedBytes PackedOf(std::string file) {
  std::string deflated;
  MakeFormEncoder()(reinterpret_cast<const std::uint8_t*>(file.data()), file.size(), deflated);
  const std::uint64_t length = file.size();
  if (SavesEnough(deflated.size(), length)) return {kPackDeflated, length, std::move(deflated)};
  return {kPackStored, length, std::move(file)};
}

// The pack on its way to disk through "UpDate.pack.tmp": each small file's
// stored bytes appended as its digest comes back, in manifest order, so an
// entry's offset is the bytes before it. Finish moves it into place, or,
// with no file in it, removes any older pack instead.
class PackFile {
 public:
  explicit PackFile(const fs::path& packPath) : m_path(packPath), m_out(packPath) {}

  // Throws ToolError.
  void Open() { m_out.Open(); }

  // file: its index in manifest order. A failure to write shows at Finish.
  void Add(std::size_t file, const PackedBytes& packed, const std::string& digest) {
    PackEntry entry;
    entry.offset = m_length;
    entry.stored = packed.stored.size();
    entry.length = packed.length;
    entry.codec = packed.codec;
    entry.digest.assign(digest.begin(), digest.end());
    m_out.Write(packed.stored);
    m_length += entry.stored;
    m_filesBytes += entry.length;
    m_entries.emplace_back(file, std::move(entry));
  }

  // Throws ToolError.
  void Finish() {
    if (!m_entries.empty()) {
      m_out.Keep();
      return;
    }
    m_out.Drop();
    RemoveFile(m_path);
  }

  // Each packed file's index in manifest order with its entry, in that order.
  const std::vector<std::pair<std::size_t, PackEntry>>& Entries() const { return m_entries; }
  std::uint64_t Length() const { return m_length; }
  std::uint64_t FilesBytes() const { return m_filesBytes; }

 private:
  fs::path m_path;
  ReplacingFile m_out;
  std::vector<std::pair<std::size_t, PackEntry>> m_entries;
  std::uint64_t m_length = 0, m_filesBytes = 0;
};

// The digest's hex text, or empty with the reason in error.
std::string Md5OfFile(const fs::path& path, std::vector<char>& buffer, std::atomic<std::uint64_t>& bytesDone,
                      std::string& error, DeltaIndexWriter* index, FormFile* form, std::string* whole) {
  FilePtr file(OpenForReading(path));
  if (!file) {
    error = "cannot read " + DisplayPath(path) + ": " + std::strerror(errno);
    return std::string();
  }
  Md5 md5;
  const bool read = ReadThrough(
      [&file](char* data, std::size_t capacity) -> long long {
        const std::size_t got = std::fread(data, 1, capacity, file.get());
        return got == 0 && std::ferror(file.get()) ? -1 : static_cast<long long>(got);
      },
      [&](const char* data, std::size_t count) {
        md5.Update(data, count);
        if (index) index->Add(data, count);
        if (form) form->Add(data, count);
        // A file that grew past the pack's limit while read stops here and
        // shows as changed.
        if (whole && whole->size() <= kPackedMaxLength) whole->append(data, count);
        bytesDone += count;
      },
      buffer);
  if (!read) {
    error = "cannot read " + DisplayPath(path) + ": " + std::strerror(errno);
    return std::string();
  }
  return Md5::ToHex(md5.Final());
}

std::string Megabytes(std::uint64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", static_cast<double>(bytes) / 1e6);
  return text;
}

// Where a release file's compressed form goes, or nothing for a file too
// small to gain from one.
std::optional<fs::path> FormPathOf(const fs::path& releaseDir, const fs::path& path, std::uint64_t size) {
  if (size < kFramesMinLength) return std::nullopt;
  return releaseDir / fs::path(kFramesFolder) / path.lexically_relative(releaseDir);
}

// Where a release file's delta index goes, or nothing for a file too small
// to need one.
std::optional<fs::path> IndexPathOf(const fs::path& releaseDir, const fs::path& path, std::uint64_t size) {
  if (size < kDeltaMinLength) return std::nullopt;
  return releaseDir / fs::path(kDeltaFolder) / path.lexically_relative(releaseDir);
}

// Makes a file's index in the read that hashes it and writes it through a
// temporary file and a rename.
void WriteIndex(const fs::path& path, const fs::path& indexPath, DeltaIndexWriter& index) {
  const std::string bytes = index.Finish();
  if (bytes.empty()) throw ToolError(DisplayPath(path) + " changed while it was read");
  std::error_code failure;
  fs::create_directories(indexPath.parent_path(), failure);
  if (failure) throw ToolError("cannot create " + DisplayPath(indexPath.parent_path()) + ": " + failure.message());
  WriteFileReplacing(indexPath, bytes);
}

// Removes the indexes (or forms) of files no longer in the release (or now
// too small, or no longer compressing), and folders left empty, so a client
// never rebuilds from a stale one.
void RemoveStaleIndexes(const fs::path& deltaRoot, const std::set<fs::path>& written) {
  std::error_code failure;
  if (!fs::is_directory(deltaRoot, failure)) return;
  std::vector<fs::path> files, folders;
  for (auto it = fs::recursive_directory_iterator(deltaRoot, failure);
       !failure && it != fs::recursive_directory_iterator(); it.increment(failure)) {
    (it->is_directory(failure) ? folders : files).push_back(it->path());
  }
  for (const fs::path& file : files) {
    if (!written.count(file)) RemoveFile(file);
  }
  std::sort(folders.rbegin(), folders.rend());  // the deepest first
  for (const fs::path& folder : folders) fs::remove(folder, failure);  // only when empty
  fs::remove(deltaRoot, failure);
}

// What HashAll writes beside the digests, below releaseDir.
struct Extras {
  const fs::path* releaseDir = nullptr;  // null: nothing
  bool delta = false;
  bool compress = false;
  PackFile* pack = nullptr;  // opened; HashAll adds the small files and finishes it
};

std::string WorkName(const Extras& extras) {
  std::vector<std::string> steps{"hashing"};
  if (extras.delta) steps.push_back("indexing");
  if (extras.compress) steps.push_back("compressing");
  if (extras.pack) steps.push_back("packing");
  std::string name = steps[0];
  for (std::size_t i = 1; i < steps.size(); ++i) name += (i + 1 == steps.size() ? " and " : ", ") + steps[i];
  return name;
}

// Hashes every file on the project's one parallel pipeline; results come
// back in the order given. Large files get their delta index, files that
// compress their form, and small files their place in the pack, in the same
// read; files are spread over the threads, so compressing takes every core.
void HashAll(std::vector<ManifestFile>& files, const std::vector<fs::path>& paths, unsigned threads,
             std::FILE* progress, const Extras& extras) {
  const fs::path* releaseDir = extras.releaseDir;
  std::uint64_t totalBytes = 0;
  for (const ManifestFile& file : files) totalBytes += file.size;
  if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
  threads = static_cast<unsigned>(std::min<std::size_t>(threads, std::max<std::size_t>(files.size(), 1)));

  std::atomic<std::uint64_t> bytesDone{0};
  std::mutex errorLock;
  std::string firstError;
  std::size_t filesDone = 0;
  const auto start = std::chrono::steady_clock::now();
  auto shown = start;
  std::mutex writtenLock;
  std::set<fs::path> written;
  std::atomic<std::uint64_t> formsWritten{0}, formBytes{0}, formedBytes{0};
  // Each worker fills its own file's slot; the pack takes it in order.
  std::vector<std::optional<PackedBytes>> packed(extras.pack ? files.size() : 0);
  const std::string workName = WorkName(extras);
  OrderedPipelineOf<std::size_t> pipeline(
      threads, 4 * static_cast<std::size_t>(threads) + 16,
      [&](const std::size_t& file, std::vector<char>& buffer) {
        const fs::path& path = paths[file];
        std::string error;
        std::error_code sizeError;
        const std::uint64_t size = releaseDir ? fs::file_size(path, sizeError) : 0;
        const bool known = releaseDir && !sizeError;
        const auto indexPath = known && extras.delta ? IndexPathOf(*releaseDir, path, size) : std::nullopt;
        const auto formPath = known && extras.compress ? FormPathOf(*releaseDir, path, size) : std::nullopt;
        const bool small = known && extras.pack && size > 0 && size <= kPackedMaxLength;
        std::string whole;
        std::optional<DeltaIndexWriter> index;
        if (indexPath) index.emplace(size);
        std::optional<FormFile> form;
        std::string digest;
        try {
          if (formPath) form.emplace(*formPath, size).Open();
        } catch (const ToolError& failure) {
          error = failure.what();
        }
        if (error.empty()) {
          digest = Md5OfFile(path, buffer, bytesDone, error, index ? &*index : nullptr, form ? &*form : nullptr,
                             small ? &whole : nullptr);
        }
        if ((indexPath || formPath) && error.empty()) {
          try {
            if (indexPath) WriteIndex(path, *indexPath, *index);
            const bool formKept = form && form->Finish(path);
            if (formKept) {
              ++formsWritten;
              formBytes += form->FormLength();
              formedBytes += size;
            }
            std::lock_guard<std::mutex> lock(writtenLock);
            if (indexPath) written.insert(*indexPath);
            if (formKept) written.insert(*formPath);
          } catch (const ToolError& failure) {
            error = failure.what();
          }
        }
        if (small && error.empty()) {
          if (whole.size() == size) {
            packed[file] = PackedOf(std::move(whole));
          } else {
            error = DisplayPath(path) + " changed while it was read";
          }
        }
        if (!error.empty()) {
          std::lock_guard<std::mutex> lock(errorLock);
          if (firstError.empty()) firstError = error;
        }
        return digest;
      },
      [&](const std::string&, const std::string& digest) {
        if (extras.pack && packed[filesDone]) {
          extras.pack->Add(filesDone, *packed[filesDone], digest);
          packed[filesDone].reset();
        }
        files[filesDone++].digest = digest;
        const auto now = std::chrono::steady_clock::now();
        if (progress && now - shown >= std::chrono::milliseconds(200)) {
          shown = now;
          std::fprintf(progress, "\r%s %zu/%zu files, %s/%s MB ", workName.c_str(), filesDone, files.size(),
                       Megabytes(bytesDone).c_str(), Megabytes(totalBytes).c_str());
          std::fflush(progress);
        }
      });
  const auto failed = [&] {
    std::lock_guard<std::mutex> lock(errorLock);
    return !firstError.empty();
  };
  for (std::size_t i = 0; i < paths.size() && !failed(); ++i) pipeline.Add(std::string(), i);
  if (failed()) {
    pipeline.Abandon();
    if (progress) std::fputs("\n", progress);
    throw ToolError(firstError);
  }
  pipeline.Finish();
  if (failed()) {
    if (progress) std::fputs("\n", progress);
    throw ToolError(firstError);
  }
  if (releaseDir && extras.delta) RemoveStaleIndexes(*releaseDir / fs::path(kDeltaFolder), written);
  if (releaseDir && extras.compress) RemoveStaleIndexes(*releaseDir / fs::path(kFramesFolder), written);
  if (extras.pack) extras.pack->Finish();
  if (progress) {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::string forms;
    if (extras.compress) {
      forms = ", " + std::to_string(formsWritten) + " compressed form(s): " + Megabytes(formedBytes) + " MB in " +
              Megabytes(formBytes) + " MB";
    }
    if (extras.pack) {
      forms += ", " + std::to_string(extras.pack->Entries().size()) + " file(s) packed: " +
               Megabytes(extras.pack->FilesBytes()) + " MB in " + Megabytes(extras.pack->Length()) + " MB";
    }
    std::fprintf(progress, "\rhashed %zu files, %s MB in %.1f s%s%20s\n", files.size(),
                 Megabytes(totalBytes).c_str(), seconds, forms.c_str(), "");
  }
}

// The list of the files that have a form, so a client asks only for forms
// that are there: a name as the manifest writes it, a TAB and the form's
// length per line. A release without forms has none.
void WriteFormList(const fs::path& releaseDir, const std::vector<ManifestFile>& files,
                   const std::vector<fs::path>& paths, const std::vector<std::string>& encoded) {
  std::string list;
  for (std::size_t i = 0; i < files.size(); ++i) {
    const auto formPath = FormPathOf(releaseDir, paths[i], files[i].size);
    std::error_code failure;
    const std::uint64_t length = formPath ? fs::file_size(*formPath, failure) : 0;
    if (!formPath || failure) continue;
    list += encoded[i] + '\t' + std::to_string(length) + "\r\n";
  }
  const fs::path listPath = releaseDir / fs::path(kFormListName);
  if (list.empty()) {
    RemoveFile(listPath);
  } else {
    WriteFileReplacing(listPath, list);
  }
}

// The pack's table, beside it: the pack's length, then where each packed
// file lies, by the name the manifest writes for it (so in its code page).
// Removed with the pack.
void WritePackTable(const fs::path& releaseDir, const PackFile& pack, const std::vector<std::string>& encoded,
                    std::vector<std::string>& notes) {
  const fs::path tablePath = releaseDir / fs::path(kPackTableName);
  if (pack.Entries().empty()) {
    RemoveFile(tablePath);
    return;
  }
  std::string table = WideToUtf8(kPackName) + '\t' + PackLengthText(pack.Length()) + "\r\n";
  for (const auto& [file, entry] : pack.Entries()) table += encoded[file] + '\t' + PackEntryText(entry) + "\r\n";
  if (table.size() > kLargestPackTable) {
    notes.push_back(WideToUtf8(kPackTableName) + " is " + std::to_string(table.size()) + " bytes, more than the " +
                    std::to_string(kLargestPackTable >> 20) +
                    " MiB clients read: they fetch every file by its own name");
  }
  WriteFileReplacing(tablePath, table);
}

}  // namespace

GeneratedManifest GenerateManifest(const GenerateRequest& request, std::vector<std::string>& notes) {
  const CodePage codePage(request.codePage);
  std::vector<ReleaseFile> found = ListReleaseFiles(request.releaseDir, notes);

  std::vector<std::wstring> leftOut;
  if (request.outputFile) {
    // Its signature too: signed after generating, a listed one would never
    // match the digest written here, and every client's row would fail.
    fs::path signature = *request.outputFile;
    signature += ".sig";
    for (const fs::path& own : {*request.outputFile, TemporaryPathFor(*request.outputFile), signature}) {
      if (auto name = NameInsideRelease(request.releaseDir, own)) leftOut.push_back(*name);
    }
  }
  found.erase(std::remove_if(found.begin(), found.end(),
                             [&](const ReleaseFile& file) {
                               if (IsExcludedManifestName(file.name) || IsDeltaIndexName(file.name) ||
                                   IsFramesName(file.name) || IsPackName(file.name)) {
                                 return true;
                               }
                               return std::any_of(leftOut.begin(), leftOut.end(), [&](const std::wstring& own) {
                                 return SameNameOnDisk(file.name, own);
                               });
                             }),
              found.end());
  std::sort(found.begin(), found.end(), [](const ReleaseFile& a, const ReleaseFile& b) {
    return OrdinalUtf16Less()(a.name, b.name);
  });
  // The updater's own files (its script, manifests, notes, any ".tmp") are no
  // release content: clients refuse to install them, and a release folder
  // holds them only when copied from an installation or left by a tool.
  // Noted in manifest order.
  found.erase(std::remove_if(found.begin(), found.end(),
                             [&](const ReleaseFile& file) {
                               if (!IsUpdaterOwnName(file.name)) return false;
                               notes.push_back("the updater's own file, left out (clients never install it): " +
                                               Printable(file.name));
                               return true;
                             }),
              found.end());

  // Every name a client could not reproduce is reported at once, so one run
  // shows the publisher the whole list to fix.
  std::vector<std::string> errors;
  std::vector<std::string> encoded(found.size());
  std::map<std::wstring, std::wstring> byFoldedName;
  for (std::size_t i = 0; i < found.size(); ++i) {
    const std::wstring& name = found[i].name;
    if (!codePage.Encode(name, encoded[i])) {
      errors.push_back("not representable in code page " + std::to_string(codePage.Number()) +
                       " (clients would get a substitute name and download it on every run): " +
                       Printable(name));
    } else if (!IsSafeRelativeName(name)) {
      errors.push_back("not a name the updater installs (it refuses to download it): " + Printable(name));
    }
    const auto [it, inserted] = byFoldedName.emplace(FoldCase(name), name);
    if (!inserted) {
      errors.push_back("differs only in letter case from " + Printable(it->second) +
                       " (one file on a Windows disk, downloaded on every run): " + Printable(name));
    }
  }
  if (!errors.empty()) {
    std::string message = std::to_string(errors.size()) + " file name(s) cannot be published:";
    for (std::size_t i = 0; i < errors.size() && i < kMaxNameErrors; ++i) message += "\n  " + errors[i];
    if (errors.size() > kMaxNameErrors) message += "\n  ...";
    throw ToolError(message);
  }

  GeneratedManifest manifest;
  std::vector<fs::path> paths;
  manifest.files.reserve(found.size());
  paths.reserve(found.size());
  for (ReleaseFile& file : found) {
    manifest.files.push_back({std::move(file.name), file.size, std::string()});
    paths.push_back(std::move(file.path));
  }
  Extras extras;
  if (request.delta || request.compress || request.pack) extras.releaseDir = &request.releaseDir;
  extras.delta = request.delta;
  extras.compress = request.compress;
  std::optional<PackFile> pack;
  if (request.pack) {
    pack.emplace(request.releaseDir / fs::path(kPackName)).Open();
    extras.pack = &*pack;
  }
  HashAll(manifest.files, paths, request.threads, request.progress, extras);

  if (request.compress) WriteFormList(request.releaseDir, manifest.files, paths, encoded);
  if (pack) WritePackTable(request.releaseDir, *pack, encoded, notes);

  for (std::size_t i = 0; i < manifest.files.size(); ++i) {
    manifest.bytes += encoded[i];
    manifest.bytes += '\t';
    manifest.bytes += manifest.files[i].digest;
    manifest.bytes += "\r\n";
  }
  return manifest;
}

fs::path TemporaryPathFor(const fs::path& path) {
  fs::path temporary = path;
  temporary += ".tmp";
  return temporary;
}

void WriteFileReplacing(const fs::path& path, const std::string& bytes) {
  ReplacingFile file(path);
  file.Open();
  file.Write(bytes);
  file.Keep();
}

std::string ReadWholeFile(const fs::path& path) {
  if (IsFolder(path)) throw ToolError("cannot read " + DisplayPath(path) + ": it is a folder");
  FilePtr file(OpenForReading(path));
  if (!file) throw ToolError("cannot read " + DisplayPath(path) + ": " + std::strerror(errno));
  std::string bytes;
  std::vector<char> buffer(kReadSize);
  for (;;) {
    const std::size_t got = std::fread(buffer.data(), 1, buffer.size(), file.get());
    bytes.append(buffer.data(), got);
    if (got < buffer.size()) {
      if (std::ferror(file.get())) throw ToolError("cannot read " + DisplayPath(path) + ": " + std::strerror(errno));
      return bytes;
    }
  }
}

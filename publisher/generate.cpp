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

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kReadSize = 1 << 20;
constexpr std::size_t kMaxNameErrors = 20;

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// A file's compressed form on its way to disk, through "<form>.tmp": room for
// the head first (its size follows from the length), then the frames as they
// are encoded, then the head over the room. Only a form that pays off is
// moved into place; any other ending removes the temporary file.
class FormFile {
 public:
  FormFile(const fs::path& formPath, std::uint64_t length)
      : m_path(formPath), m_temporary(TemporaryPathFor(formPath)), m_length(length), m_writer(length, kWriterFrameSize, MakeFormEncoder()) {}
  ~FormFile() {
    if (m_file) {
      m_file.reset();
      RemoveFile(m_temporary);
    }
  }
  FormFile(const FormFile&) = delete;
  FormFile& operator=(const FormFile&) = delete;

  // Throws ToolError.
  void Open() {
    std::error_code failure;
    fs::create_directories(m_path.parent_path(), failure);
    if (failure) throw ToolError("cannot create " + DisplayPath(m_path.parent_path()) + ": " + failure.message());
    m_file.reset(OpenForWriting(m_temporary));
    if (!m_file) throw ToolError("cannot write " + DisplayPath(m_temporary) + ": " + std::strerror(errno));
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
    // Any frame a client takes must save bytes, and a form that saves less
    // than a tenth (media, archives) costs the client a table for nothing.
    if (m_writer.FormLength() > m_length / 10 * 9 + m_length % 10 * 9 / 10) {
      m_file.reset();
      RemoveFile(m_temporary);
      return false;
    }
    const std::string head = m_writer.Head();
    std::rewind(m_file.get());
    if (!m_failed && std::fwrite(head.data(), 1, head.size(), m_file.get()) != head.size()) Failed();
    std::FILE* file = m_file.release();
    if (std::fclose(file) != 0 && !m_failed) Failed();
    if (m_failed) {
      RemoveFile(m_temporary);
      throw ToolError("cannot write " + DisplayPath(m_path) + ": " + std::strerror(m_errno));
    }
    if (const auto reason = MoveReplacing(m_temporary, m_path)) {
      RemoveFile(m_temporary);
      throw ToolError("cannot replace " + DisplayPath(m_path) + ": " + *reason);
    }
    return true;
  }

  std::uint64_t FormLength() const { return m_writer.FormLength(); }

 private:
  void Flush() {
    if (!m_failed && !m_pending.empty() &&
        std::fwrite(m_pending.data(), 1, m_pending.size(), m_file.get()) != m_pending.size()) {
      Failed();
    }
    m_pending.clear();
  }
  void Failed() {
    m_failed = true;
    m_errno = errno;
  }

  fs::path m_path, m_temporary;
  std::uint64_t m_length;
  FramesWriter m_writer;
  FilePtr m_file;
  std::string m_pending;
  bool m_failed = false;
  int m_errno = 0;
};

// The digest's hex text, or empty with the reason in error.
std::string Md5OfFile(const fs::path& path, std::vector<char>& buffer, std::atomic<std::uint64_t>& bytesDone,
                      std::string& error, DeltaIndexWriter* index, FormFile* form) {
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
};

const char* WorkName(const Extras& extras) {
  if (!extras.releaseDir) return "hashing";
  if (extras.delta && extras.compress) return "hashing, indexing and compressing";
  return extras.delta ? "hashing and indexing" : "hashing and compressing";
}

// Hashes every file on the project's one parallel pipeline; results come
// back in the order given. Large files get their delta index, and files
// that compress their form, in the same read; files are spread over the
// threads, so compressing takes every core.
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
  OrderedPipelineOf<fs::path> pipeline(
      threads, 4 * static_cast<std::size_t>(threads) + 16,
      [&](const fs::path& path, std::vector<char>& buffer) {
        std::string error;
        std::error_code sizeError;
        const std::uint64_t size = releaseDir ? fs::file_size(path, sizeError) : 0;
        const bool known = releaseDir && !sizeError;
        const auto indexPath = known && extras.delta ? IndexPathOf(*releaseDir, path, size) : std::nullopt;
        const auto formPath = known && extras.compress ? FormPathOf(*releaseDir, path, size) : std::nullopt;
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
          digest = Md5OfFile(path, buffer, bytesDone, error, index ? &*index : nullptr, form ? &*form : nullptr);
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
        if (!error.empty()) {
          std::lock_guard<std::mutex> lock(errorLock);
          if (firstError.empty()) firstError = error;
        }
        return digest;
      },
      [&](const std::string&, const std::string& digest) {
        files[filesDone++].digest = digest;
        const auto now = std::chrono::steady_clock::now();
        if (progress && now - shown >= std::chrono::milliseconds(200)) {
          shown = now;
          std::fprintf(progress, "\r%s %zu/%zu files, %s/%s MB ", WorkName(extras), filesDone, files.size(),
                       Megabytes(bytesDone).c_str(), Megabytes(totalBytes).c_str());
          std::fflush(progress);
        }
      });
  const auto failed = [&] {
    std::lock_guard<std::mutex> lock(errorLock);
    return !firstError.empty();
  };
  for (std::size_t i = 0; i < paths.size() && !failed(); ++i) pipeline.Add(std::string(), paths[i]);
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
  if (progress) {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::string forms;
    if (extras.compress) {
      forms = ", " + std::to_string(formsWritten) + " compressed form(s): " + Megabytes(formedBytes) + " MB in " +
              Megabytes(formBytes) + " MB";
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
                                   IsFramesName(file.name)) {
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
  if (request.delta || request.compress) extras.releaseDir = &request.releaseDir;
  extras.delta = request.delta;
  extras.compress = request.compress;
  HashAll(manifest.files, paths, request.threads, request.progress, extras);

  if (request.compress) WriteFormList(request.releaseDir, manifest.files, paths, encoded);

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
  const fs::path temporary = TemporaryPathFor(path);
  FilePtr file(OpenForWriting(temporary));
  if (!file) throw ToolError("cannot write " + DisplayPath(path) + ": " + std::strerror(errno));
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file.get()) == bytes.size();
  const int writeErrno = errno;
  const bool closed = std::fclose(file.release()) == 0;
  if (!written || !closed) {
    const int error = !written ? writeErrno : errno;
    RemoveFile(temporary);
    throw ToolError("cannot write " + DisplayPath(path) + ": " + std::strerror(error));
  }
  if (const auto reason = MoveReplacing(temporary, path)) {
    RemoveFile(temporary);
    throw ToolError("cannot replace " + DisplayPath(path) + ": " + *reason);
  }
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

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "check/signature_form.h"
#include "engine/public_key.h"
#include "manifest/manifest_reader.h"
#include "publisher/check_server.h"
#include "publisher/code_page.h"
#include "publisher/diff.h"
#include "publisher/generate.h"
#include "publisher/lint.h"
#include "publisher/signature_report.h"
#include "publisher/signing.h"
#include "publisher/system.h"
#include "publisher/text.h"
#include "publisher/text_mode.h"
#include "publisher/tool_error.h"

namespace {

constexpr int kOk = 0;
constexpr int kProblems = 1;
constexpr int kError = 2;

std::string CodePageHelp() {
  return "  --code-page N       the clients' ANSI code page (default " + std::to_string(DefaultCodePage()) +
         ")\n";
}

std::string Usage() {
  return "updater-manifest: writes, checks and compares the manifest (UpDate.ini) that\n"
         "the updater fetches from the update folder of a release.\n"
         "\n"
         "usage:\n"
         "  updater-manifest generate RELEASE_DIR [-o FILE] [--code-page N] [--delta] [--compress] [--pack]\n"
         "  updater-manifest lint FILE [--code-page N] [--public-key HEX]\n"
         "  updater-manifest diff OLD NEW [--code-page N]\n"
         "  updater-manifest keygen KEYFILE\n"
         "  updater-manifest sign MANIFEST --key KEYFILE [--serial N] [--expires TIME]\n"
         "  updater-manifest pubkey KEYFILE\n"
         "  updater-manifest check-server URL [--public-key HEX] [--full]\n"
         "  updater-manifest SUBCOMMAND --help\n"
         "\n"
         "Exit status: 0 done, 1 lint or check-server found problems, 2 error.\n";
}

std::string GenerateHelp() {
  return "usage: updater-manifest generate RELEASE_DIR [-o FILE] [--code-page N] [--delta] [--compress] [--pack]\n"
         "\n"
         "Writes the manifest of every file below RELEASE_DIR in the form the updater\n"
         "reads: relative path with backslashes, TAB, lowercase MD5, CR LF, in the\n"
         "updater's order. Names are written in the clients' ANSI code page; a name\n"
         "that it cannot hold is an error, since clients would download that file on\n"
         "every run. Linked folders are not entered. Left out: MD5.exe and UpDate.ini\n"
         "at the top, FILE itself and its signature FILE.sig, so -o\n"
         "RELEASE_DIR/UpDate.ini works in a signed release too, and the\n"
         "folders UpDate.delta and UpDate.frames at the top, which hold the delta\n"
         "indexes and the compressed forms, and the files UpDate.frames.ini,\n"
         "UpDate.pack and UpDate.pack.ini at the top too.\n"
         "\n"
         "  -o, --output FILE   write to FILE, through FILE.tmp and a rename\n"
         "                      (default: standard output)\n"
         "  --delta             also write, for every file of 1 MiB or more, the index\n"
         "                      clients rebuild it with from an older copy, as\n"
         "                      RELEASE_DIR/UpDate.delta/<its path>; indexes of files\n"
         "                      no longer there are removed\n"
         "  --compress          also write, for every file of 4 KiB or more that\n"
         "                      deflates to at most 90 % of its size, its compressed\n"
         "                      form in independent 64 KiB frames, as\n"
         "                      RELEASE_DIR/UpDate.frames/<its path>; forms of files\n"
         "                      no longer there or no longer compressing are removed\n"
         "  --pack              also write every file of 1 byte to 128 KiB, back to\n"
         "                      back in manifest order, each deflated where that\n"
         "                      makes it at most 90 % of its size, as\n"
         "                      RELEASE_DIR/UpDate.pack, and where each lies as\n"
         "                      RELEASE_DIR/UpDate.pack.ini, so clients fetch many\n"
         "                      small files with one request; both are removed when\n"
         "                      no file is that small\n" +
         CodePageHelp();
}

std::string LintHelp() {
  return "usage: updater-manifest lint FILE [--code-page N] [--public-key HEX]\n"
         "\n"
         "Reads FILE byte for byte as the updater does and reports, with line numbers,\n"
         "what would make it misbehave: a byte-order mark, NUL or 0x1A bytes that end\n"
         "the text early, lines without a TAB, blank lines, blanks around names or\n"
         "digests, stray CRs, digests that are not 32 lowercase hex characters,\n"
         "forward slashes, duplicate names, names that leave the folder, names the\n"
         "updater keeps for itself (delete.bat, LocalDate.ini, any .tmp, UpDate.delta\n"
         "and the like), names of the files generate writes beside the manifest\n"
         "(UpDate.frames, UpDate.pack and their lists), and bytes invalid in the\n"
         "code page.\n"
         "\n" +
         CodePageHelp() +
         "  --public-key HEX    also check FILE.sig against this public key, as an\n"
         "                      updater built with it does; shows its serial and\n"
         "                      expiry, and warns two weeks before the expiry\n"
         "\n"
         "Exit status: 0 clean, 1 problems found, 2 cannot read.\n";
}

std::string DiffHelp() {
  return "usage: updater-manifest diff OLD NEW [--code-page N]\n"
         "\n"
         "Lists what a client at OLD downloads to reach NEW, one name per line in the\n"
         "updater's order. OLD and NEW are each a manifest file or a release folder.\n"
         "When NEW is a folder, each line shows the file's size in bytes and a total\n"
         "line ends the list.\n"
         "\n" +
         CodePageHelp();
}

std::string KeygenHelp() {
  return "usage: updater-manifest keygen KEYFILE\n"
         "\n"
         "Makes a new ECDSA P-256 signing key, writes it to KEYFILE (PEM, readable by\n"
         "you only; an existing file is never overwritten) and prints its public key:\n"
         "the point 04||X||Y as 130 hex digits, the form UPDATER_PUBLIC_KEY takes.\n"
         "Keep KEYFILE off the update server; whoever holds it can ship updates.\n";
}

std::string SignHelp() {
  return "usage: updater-manifest sign MANIFEST --key KEYFILE [--serial N] [--expires TIME]\n"
         "\n"
         "Writes MANIFEST.sig (through MANIFEST.sig.tmp and a rename), 88 bytes: the\n"
         "serial and the expiry, then the ECDSA P-256 signature (r||s) over them and\n"
         "the SHA-256 of MANIFEST's bytes. Serve it beside MANIFEST; sign again\n"
         "whenever MANIFEST changes and before the expiry. Updaters with the key\n"
         "refuse an expired signature and a serial below the highest they accepted.\n"
         "\n"
         "  --key KEYFILE       the private key made by keygen\n"
         "  --serial N          a number that goes up from release to release\n"
         "                      (default: now, in seconds since 1970, so a plain\n"
         "                      sign again always goes up)\n"
         "  --expires TIME      YYYY-MM-DDTHH:MM:SSZ, UTC (default: 90 days from now);\n"
         "                      a time already past is written with a warning\n";
}

std::string CheckServerHelp() {
  return "usage: updater-manifest check-server URL [--public-key HEX] [--full]\n"
         "\n"
         "Fetches what the updater fetches, as it fetches it, and reports every\n"
         "problem in the words of what users would see. URL is the address the\n"
         "updater is built for: UPDATER_SERVER (scheme://host[:port], below which\n"
         "/Velmora/Qyr/Test/ is taken) or the whole base URL with its path. It\n"
         "checks Update/UpDate.ini (status, length, whether it parses, what lint says),\n"
         "with a key Update/UpDate.ini.sig (signature, serial, expiry), every listed\n"
         "file (status, Content-Length, chunked or compressed answers, the one-byte\n"
         "range probe) and UpdateLog/UpdateLog.ini. Four files are fetched at once;\n"
         "every wait ends after 30 s without progress.\n"
         "\n"
         "  --public-key HEX    the key the updater is built with\n"
         "  --full              also receive every file whole and check its MD5\n" +
         CodePageHelp() +
         "\n"
         "Exit status: 0 clean, 1 problems found, 2 error.\n";
}

std::string PubkeyHelp() {
  return "usage: updater-manifest pubkey KEYFILE\n"
         "\n"
         "Prints the public key of KEYFILE as 130 hex digits (UPDATER_PUBLIC_KEY).\n";
}

class UsageError : public ToolError {
 public:
  using ToolError::ToolError;
};

// Which options a subcommand takes.
enum Option : unsigned {
  kOutputOption = 1,
  kCodePageOption = 2,
  kKeyOption = 4,
  kPublicKeyOption = 8,
  kFreshnessOptions = 16,
  kFullOption = 32,
  kDeltaOption = 256,
  kCompressOption = 512,
  kPackOption = 1024,
};

struct Arguments {
  std::vector<std::string> positional;
  std::optional<std::string> output;
  std::optional<std::string> key;
  std::optional<std::string> publicKey;
  std::optional<std::uint64_t> serial;
  std::optional<std::uint64_t> expires;
  unsigned codePage = 0;
  bool full = false;
  bool delta = false;
  bool compress = false;
  bool pack = false;
  bool help = false;
};

std::uint64_t ParseSerial(const std::string& text) {
  std::uint64_t value = 0;
  bool fits = !text.empty() && text.size() <= 20;
  for (char c : text) {
    if (c < '0' || c > '9') fits = false;
    if (!fits) break;
    const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) fits = false;
    value = value * 10 + digit;
  }
  if (!fits) throw UsageError("--serial needs a whole number from 0 to 18446744073709551615, got \"" + text + "\"");
  return value;
}

std::uint64_t Now() {
  const auto since = std::chrono::system_clock::now().time_since_epoch();
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since).count();
  return seconds < 0 ? 0 : static_cast<std::uint64_t>(seconds);
}

unsigned ParseCodePage(const std::string& text) {
  char* end = nullptr;
  const unsigned long value = std::strtoul(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || value == 0 || value > 65535) {
    throw UsageError("--code-page needs a code page number, got \"" + text + "\"");
  }
  return static_cast<unsigned>(value);
}

Arguments Parse(const std::vector<std::string>& args, unsigned options) {
  Arguments parsed;
  parsed.codePage = DefaultCodePage();
  bool optionsEnded = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    const auto value = [&](const std::string& option) {
      const std::string prefix = option + "=";
      if (arg.compare(0, prefix.size(), prefix) == 0) return arg.substr(prefix.size());
      if (i + 1 == args.size()) throw UsageError(option + " needs a value");
      return args[++i];
    };
    const auto is = [&](const std::string& option) {
      return arg == option || arg.compare(0, option.size() + 1, option + "=") == 0;
    };
    if (optionsEnded || arg == "-" || arg.empty() || arg[0] != '-') {
      parsed.positional.push_back(arg);
    } else if (arg == "--") {
      optionsEnded = true;
    } else if (arg == "-h" || arg == "--help") {
      parsed.help = true;
    } else if ((options & kOutputOption) && (arg == "-o" || is("--output"))) {
      parsed.output = value(arg == "-o" ? "-o" : "--output");
    } else if ((options & kDeltaOption) && arg == "--delta") {
      parsed.delta = true;
    } else if ((options & kCompressOption) && arg == "--compress") {
      parsed.compress = true;
    } else if ((options & kPackOption) && arg == "--pack") {
      parsed.pack = true;
    } else if ((options & kCodePageOption) && is("--code-page")) {
      parsed.codePage = ParseCodePage(value("--code-page"));
    } else if ((options & kFreshnessOptions) && is("--serial")) {
      parsed.serial = ParseSerial(value("--serial"));
    } else if ((options & kFreshnessOptions) && is("--expires")) {
      const std::string text = value("--expires");
      parsed.expires = ParseUtcTime(text);
      if (!parsed.expires) {
        throw UsageError("--expires needs a UTC time as YYYY-MM-DDTHH:MM:SSZ (1970 to 9999), got \"" + text + "\"");
      }
    } else if ((options & kFullOption) && arg == "--full") {
      parsed.full = true;
    } else if ((options & kKeyOption) && is("--key")) {
      parsed.key = value("--key");
    } else if ((options & kPublicKeyOption) && is("--public-key")) {
      parsed.publicKey = value("--public-key");
      if (!ParsePublicKey(*parsed.publicKey)) {
        throw UsageError("--public-key needs 130 hex digits starting with 04, as keygen prints");
      }
    } else {
      throw UsageError("unknown option " + arg);
    }
  }
  return parsed;
}

void PrintNotes(const std::vector<std::string>& notes) {
  for (const std::string& note : notes) std::fprintf(stderr, "updater-manifest: note: %s\n", note.c_str());
}

std::FILE* ProgressStream() { return IsTerminal(stderr) ? stderr : nullptr; }

int Generate(const Arguments& args) {
  if (args.positional.size() != 1) throw UsageError("generate needs one RELEASE_DIR");
  GenerateRequest request;
  request.releaseDir = PathFromArgument(args.positional[0]);
  request.codePage = args.codePage;
  const bool toFile = args.output && *args.output != "-";
  if (toFile) request.outputFile = PathFromArgument(*args.output);
  request.progress = ProgressStream();
  request.delta = args.delta;
  request.compress = args.compress;
  request.pack = args.pack;

  std::vector<std::string> notes;
  const GeneratedManifest manifest = GenerateManifest(request, notes);
  PrintNotes(notes);
  if (toFile) {
    WriteFileReplacing(*request.outputFile, manifest.bytes);
    if (request.progress) {
      std::fprintf(stderr, "wrote %zu entries to %s\n", manifest.files.size(),
                   DisplayPath(*request.outputFile).c_str());
    }
  } else if (std::fwrite(manifest.bytes.data(), 1, manifest.bytes.size(), stdout) != manifest.bytes.size() ||
             std::fflush(stdout) != 0) {
    throw ToolError("cannot write to standard output");
  }
  return kOk;
}

// What an updater with the key makes of FILE.sig.
SignatureReport SignatureOfFile(const std::filesystem::path& path, const std::string& bytes,
                                const std::string& publicKey) {
  std::filesystem::path signaturePath = path;
  signaturePath += ".sig";
  SignatureReport report;
  if (!std::filesystem::exists(signaturePath)) {
    report.problems.push_back("missing; updaters with this key refuse the manifest");
  } else {
    report = ReportSignature(publicKey, bytes, ReadWholeFile(signaturePath), Now());
  }
  const std::string shown = DisplayPath(signaturePath) + ": ";
  for (std::string& fact : report.facts) fact = shown + fact;
  for (std::string& problem : report.problems) problem = shown + problem;
  for (std::string& warning : report.warnings) warning = shown + "warning: " + warning;
  return report;
}

int Lint(const Arguments& args) {
  if (args.positional.size() != 1) throw UsageError("lint needs one FILE");
  const std::filesystem::path path = PathFromArgument(args.positional[0]);
  const CodePage codePage(args.codePage);
  const std::string bytes = ReadWholeFile(path);
  const std::vector<LintProblem> problems = LintManifest(bytes, codePage);
  const std::string shown = DisplayPath(path);
  for (const LintProblem& problem : problems) {
    std::printf("%s:%zu: %s\n", shown.c_str(), problem.line, problem.message.c_str());
  }
  SignatureReport signature;
  if (args.publicKey) signature = SignatureOfFile(path, bytes, *args.publicKey);
  for (const auto* lines : {&signature.facts, &signature.problems, &signature.warnings}) {
    for (const std::string& line : *lines) std::printf("%s\n", line.c_str());
  }
  if (!problems.empty() || !signature.problems.empty()) {
    std::printf("%s: %zu problem(s)\n", shown.c_str(), problems.size() + signature.problems.size());
    return kProblems;
  }
  const std::size_t entries = ReadManifestTable(PreparedTextOf(bytes, codePage)).size();
  std::printf("%s: %zu entries, no problems%s\n", shown.c_str(), entries,
              args.publicKey ? ", signature verified" : "");
  return kOk;
}

int Diff(const Arguments& args) {
  if (args.positional.size() != 2) throw UsageError("diff needs OLD and NEW");
  std::vector<std::string> notes;
  const std::vector<DiffEntry> entries =
      DiffReleases(PathFromArgument(args.positional[0]), PathFromArgument(args.positional[1]), args.codePage,
                   ProgressStream(), notes);
  PrintNotes(notes);
  const bool sized = IsFolder(PathFromArgument(args.positional[1]));
  std::uint64_t total = 0;
  for (const DiffEntry& entry : entries) {
    if (sized) {
      const std::uint64_t size = entry.size.value_or(0);
      total += size;
      std::printf("%14llu  %s\n", static_cast<unsigned long long>(size), Printable(entry.name).c_str());
    } else {
      std::printf("%s\n", Printable(entry.name).c_str());
    }
  }
  if (sized) {
    std::printf("%14llu  total, %zu file(s) to download\n", static_cast<unsigned long long>(total), entries.size());
  }
  return kOk;
}

int Keygen(const Arguments& args) {
  if (args.positional.size() != 1) throw UsageError("keygen needs one KEYFILE");
  const std::string publicKey = CreateSigningKey(PathFromArgument(args.positional[0]));
  std::printf("%s\n", publicKey.c_str());
  return kOk;
}

int Sign(const Arguments& args) {
  if (args.positional.size() != 1) throw UsageError("sign needs one MANIFEST");
  if (!args.key) throw UsageError("sign needs --key KEYFILE");
  const std::filesystem::path manifest = PathFromArgument(args.positional[0]);
  const std::filesystem::path keyFile = PathFromArgument(*args.key);
  const std::string bytes = ReadWholeFile(manifest);
  const std::uint64_t now = Now();
  constexpr std::uint64_t kDefaultLifetime = 90ull * 24 * 60 * 60;
  const std::uint64_t serial = args.serial.value_or(now);
  const std::uint64_t expires = args.expires.value_or(std::min(now + kDefaultLifetime, kLatestExpiry));
  std::filesystem::path signaturePath = manifest;
  signaturePath += ".sig";
  // The signature this one replaces: going below its serial makes every
  // installation that took it refuse this release.
  if (std::filesystem::exists(signaturePath)) {
    const std::optional<SignatureFile> previous = ReadSignatureFile(ReadWholeFile(signaturePath));
    if (previous && previous->form == 2 && previous->serial > serial) {
      std::fprintf(stderr,
                   "updater-manifest sign: warning: serial %llu is below the %llu of the signature it replaces; "
                   "installations that took that one refuse this\n",
                   static_cast<unsigned long long>(serial), static_cast<unsigned long long>(previous->serial));
    }
  }
  if (expires <= now) {
    std::fprintf(stderr,
                 "updater-manifest sign: warning: the expiry %s is already past; updaters with this key refuse "
                 "this manifest\n",
                 UtcTimeText(expires).c_str());
  }
  WriteFileReplacing(signaturePath, SignManifest(keyFile, bytes, serial, expires));
  std::printf("%s: serial %llu, expires %s, signed for public key %s\n", DisplayPath(signaturePath).c_str(),
              static_cast<unsigned long long>(serial), UtcTimeText(expires).c_str(),
              PublicKeyOfKeyFile(keyFile).c_str());
  return kOk;
}

int Pubkey(const Arguments& args) {
  if (args.positional.size() != 1) throw UsageError("pubkey needs one KEYFILE");
  std::printf("%s\n", PublicKeyOfKeyFile(PathFromArgument(args.positional[0])).c_str());
  return kOk;
}

int CheckServerCommand(const Arguments& args) {
  if (args.positional.size() != 1) throw UsageError("check-server needs one URL");
  CheckServerRequest request;
  request.url = args.positional[0];
  request.publicKey = args.publicKey.value_or("");
  request.full = args.full;
  request.codePage = args.codePage;
  request.now = Now();
  request.progress = ProgressStream();
  return CheckServer(request) ? kOk : kProblems;
}

int Run(const std::vector<std::string>& args) {
  PrepareStandardStreams();
  if (args.empty()) {
    std::fputs(Usage().c_str(), stderr);
    return kError;
  }
  const std::string& command = args[0];
  if (command == "-h" || command == "--help" || command == "help") {
    std::fputs(Usage().c_str(), stdout);
    return kOk;
  }
  struct Command {
    const char* name;
    int (*run)(const Arguments&);
    std::string (*help)();
    unsigned options;
  };
  static const Command kCommands[] = {
      {"generate", Generate, GenerateHelp, kOutputOption | kCodePageOption | kDeltaOption | kCompressOption |
                                           kPackOption},
      {"lint", Lint, LintHelp, kCodePageOption | kPublicKeyOption},
      {"diff", Diff, DiffHelp, kCodePageOption},
      {"keygen", Keygen, KeygenHelp, 0},
      {"sign", Sign, SignHelp, kKeyOption | kFreshnessOptions},
      {"pubkey", Pubkey, PubkeyHelp, 0},
      {"check-server", CheckServerCommand, CheckServerHelp, kPublicKeyOption | kFullOption | kCodePageOption},
  };
  for (const Command& c : kCommands) {
    if (command != c.name) continue;
    try {
      const Arguments parsed = Parse(std::vector<std::string>(args.begin() + 1, args.end()), c.options);
      if (parsed.help) {
        std::fputs(c.help().c_str(), stdout);
        return kOk;
      }
      return c.run(parsed);
    } catch (const UsageError& error) {
      std::fprintf(stderr, "updater-manifest %s: %s\n\n%s", c.name, error.what(), c.help().c_str());
      return kError;
    } catch (const ToolError& error) {
      std::fprintf(stderr, "updater-manifest %s: %s\n", c.name, error.what());
      return kError;
    } catch (const std::exception& error) {
      std::fprintf(stderr, "updater-manifest %s: %s\n", c.name, error.what());
      return kError;
    }
  }
  std::fprintf(stderr, "updater-manifest: unknown subcommand \"%s\"\n\n%s", command.c_str(), Usage().c_str());
  return kError;
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.push_back(WideToUtf8(argv[i]));
  return Run(args);
}
#else
int main(int argc, char** argv) { return Run(std::vector<std::string>(argv + 1, argv + argc)); }
#endif

#include "publisher/generate.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>

#include "manifest/manifest_reader.h"
#include "manifest/md5.h"
#include "publisher/code_page.h"
#include "publisher/text_mode.h"
#include "publisher/tool_error.h"
#include "temp_folder.h"
#include "transfer/frames.h"
#include "transfer/pack.h"

namespace {

namespace fs = std::filesystem;

GeneratedManifest Generate(const fs::path& root, unsigned codePage = 936, unsigned threads = 0, bool pack = false) {
  GenerateRequest request;
  request.releaseDir = root;
  request.codePage = codePage;
  request.threads = threads;
  request.pack = pack;
  std::vector<std::string> notes;
  return GenerateManifest(request, notes);
}

std::map<std::wstring, std::wstring> AsUpdaterReadsIt(const std::string& bytes) {
  const CodePage gbk(936);
  const ManifestTable table = ReadManifestTable(PreparedTextOf(bytes, gbk));
  return {table.begin(), table.end()};
}

std::vector<std::string> Lines(const std::string& bytes) {
  std::vector<std::string> lines;
  for (std::size_t start = 0; start < bytes.size();) {
    const std::size_t end = bytes.find("\r\n", start);
    if (end == std::string::npos) {
      lines.push_back(bytes.substr(start));
      break;
    }
    lines.push_back(bytes.substr(start, end - start));
    start = end + 2;
  }
  return lines;
}

std::string NameOfLine(const std::string& line) { return line.substr(0, line.find('\t')); }

TEST(GenerateManifest, UpdaterReadsBackExactlyTheFolder) {
  TempFolder release;
  const std::string big(3 * 1024 * 1024 + 17, 'x');  // spans several reads
  const std::map<std::string, std::string> contents = {
      {"Updater.exe", "MZ..."},
      {"empty.dat", ""},
      {"data/big.bin", big},
      {"data/deep/er/file.txt", "abc"},
      {"sub/MD5.exe", "only the top-level one is left out"},
      {"sub/LocalDate.ini", "only the top-level one is the updater's"},
  };
  std::map<std::wstring, std::wstring> expected;
  for (const auto& [name, content] : contents) {
    release.Write(name, content);
    std::wstring wide(name.begin(), name.end());
    for (wchar_t& c : wide) c = c == L'/' ? L'\\' : c;
    const std::string hex = Md5::HexOf(content);
    expected[wide] = std::wstring(hex.begin(), hex.end());
  }
  release.Write("MD5.exe", "left out");
  release.Write("UpDate.ini", "left out");
  fs::create_directories(release.Root() / "empty-folder");

  const GeneratedManifest manifest = Generate(release.Root());
  EXPECT_EQ(AsUpdaterReadsIt(manifest.bytes), expected);
  EXPECT_EQ(expected.at(L"data\\deep\\er\\file.txt"), L"900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(expected.at(L"empty.dat"), L"d41d8cd98f00b204e9800998ecf8427e");

  // Byte form: no BOM, every line name TAB 32 lowercase hex CR LF.
  ASSERT_FALSE(manifest.bytes.empty());
  EXPECT_NE(manifest.bytes.substr(0, 3), "\xEF\xBB\xBF");
  EXPECT_EQ(manifest.bytes.substr(manifest.bytes.size() - 2), "\r\n");
  const std::regex line("[^\t\r\n/]+\t[0-9a-f]{32}");
  for (const std::string& l : Lines(manifest.bytes)) EXPECT_TRUE(std::regex_match(l, line)) << l;
  EXPECT_EQ(manifest.files.size(), contents.size());
}

TEST(GenerateManifest, OrdersNamesAsTheUpdaterDoes) {
  TempFolder release;
  for (const char* name : {"c.dll", "data_y.bin", "a.dll", "data/x.bin", "B.dll", "dataA.bin"}) {
    release.Write(name, name);
  }
  std::vector<std::string> names;
  for (const std::string& l : Lines(Generate(release.Root()).bytes)) names.push_back(NameOfLine(l));
  // "\" (0x5C) sorts after uppercase letters and before "_" and lowercase:
  // neither a byte sort of "/"-paths nor a case-insensitive sort gives this.
  EXPECT_EQ(names, (std::vector<std::string>{"B.dll", "a.dll", "c.dll", "dataA.bin", "data\\x.bin",
                                             "data_y.bin"}));
}

TEST(GenerateManifest, WritesChineseNamesInCodePage936) {
  TempFolder release;
  release.Write("\xE6\x95\xB0\xE6\x8D\xAE/\xE6\x96\x87\xE4\xBB\xB6.txt", "abc");  // 数据/文件.txt
  const GeneratedManifest manifest = Generate(release.Root(), 936);
  EXPECT_EQ(manifest.bytes, "\xCA\xFD\xBE\xDD\\\xCE\xC4\xBC\xFE.txt\t900150983cd24fb0d6963f7d28e17f72\r\n");
  EXPECT_EQ(manifest.files.at(0).name, L"\u6570\u636E\\\u6587\u4EF6.txt");

  // The same folder for UTF-8 clients.
  EXPECT_EQ(Generate(release.Root(), 65001).bytes,
            "\xE6\x95\xB0\xE6\x8D\xAE\\\xE6\x96\x87\xE4\xBB\xB6.txt\t900150983cd24fb0d6963f7d28e17f72\r\n");
}

TEST(GenerateManifest, RefusesNamesClientsCannotReproduce) {
  const struct {
    const char* what;
    std::vector<std::string> names;
    std::string mentioned;
  } cases[] = {
      {"not in code page 936", {"ok.txt", "sub/\xE0\xB8\x81.txt"}, "sub\\\xE0\xB8\x81.txt"},
      {"differs only in letter case", {"Readme.txt", "README.txt"}, "Readme.txt"},
      {"reserved device name", {"data/con.txt"}, "data\\con.txt"},
      {"trailing dot", {"name."}, "name."},
      {"backslash inside a Linux name", {"a\\b.txt"}, "a\\b.txt"},
      {"not UTF-8 on disk", {"caf\xE9.txt"}, "caf"},
  };
  for (const auto& c : cases) {
    TempFolder release;
    for (const std::string& name : c.names) release.Write(name, "x");
    try {
      Generate(release.Root());
      ADD_FAILURE() << c.what << ": accepted";
    } catch (const ToolError& error) {
      EXPECT_NE(std::string(error.what()).find(c.mentioned), std::string::npos) << c.what << ": " << error.what();
    }
  }
}

TEST(GenerateManifest, LeavesOutItsOwnOutputItsSignatureDeltaIndexesAndLinkedFolders) {
  TempFolder release;
  release.Write("a.txt", "a");
  release.Write("sub/b.txt", "b");
  release.Write("release.ini", "an older manifest");
  release.Write("release.ini.tmp", "left by a failed run");
  release.Write("release.ini.sig", "its signature, rewritten after every generate");
  release.Write("UpDate.delta/a.txt", "a delta index");
  fs::create_directory_symlink(release.Root() / "sub", release.Root() / "link");
  fs::create_symlink(release.Root() / "a.txt", release.Root() / "alias.txt");

  GenerateRequest request;
  request.releaseDir = release.Root();
  request.codePage = 936;
  request.outputFile = release.Root() / "sub" / ".." / "release.ini";
  std::vector<std::string> notes;
  const GeneratedManifest manifest = GenerateManifest(request, notes);
  std::vector<std::string> names;
  for (const std::string& l : Lines(manifest.bytes)) names.push_back(NameOfLine(l));
  // A link to a file is served like the file; a linked folder is not entered.
  EXPECT_EQ(names, (std::vector<std::string>{"a.txt", "alias.txt", "sub\\b.txt"}));
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_NE(notes[0].find("link"), std::string::npos);

  // Outside the release the output's name is no reason to leave a file out;
  // its temporary name still is, as any ".tmp" is.
  TempFolder elsewhere;
  request.outputFile = elsewhere.Root() / "release.ini";
  EXPECT_EQ(Lines(GenerateManifest(request, notes).bytes).size(), 5u);
}

TEST(GenerateManifest, LeavesOutTheUpdatersOwnFilesWithANote) {
  TempFolder release;
  for (const char* name : {"a.txt", "sub/delete.bat", "Updater.exe"}) release.Write(name, name);
  for (const char* name : {"delete.bat", "LOCALDATE.INI", "Update_Logo.txt", "LocalSerial.dat",
                           "LocalDigest.cache", "data/big.pak.tmp", "Updater.exe.tmp", "Updater.old/x.dll"}) {
    release.Write(name, "copied from an installation");
  }
  std::vector<std::string> notes;
  GenerateRequest request;
  request.releaseDir = release.Root();
  request.codePage = 936;
  std::vector<std::string> names;
  for (const std::string& l : Lines(GenerateManifest(request, notes).bytes)) names.push_back(NameOfLine(l));
  EXPECT_EQ(names, (std::vector<std::string>{"Updater.exe", "a.txt", "sub\\delete.bat"}));
  ASSERT_EQ(notes.size(), 8u);
  for (const std::string& note : notes) EXPECT_NE(note.find("the updater's own file"), std::string::npos) << note;
  EXPECT_NE(notes[0].find("LOCALDATE.INI"), std::string::npos) << notes[0];
  EXPECT_NE(notes[6].find("data\\big.pak.tmp"), std::string::npos) << notes[6];
}

std::string Contents(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Every frame of a form decoded in turn, as a client would.
std::string Decoded(const std::string& form) {
  const auto table = ParseFramesTable(form, form.size());
  if (!table) return "(no table)";
  FrameDecoder decoder(*table);
  std::string file;
  for (std::uint64_t frame = 0; frame < table->Frames(); ++frame) {
    const FrameRange range = table->Range(frame);
    std::string out(range.decodedLength, '\0');
    if (!decoder.Decode(frame, std::string_view(form).substr(range.formOffset, range.storedSize),
                        reinterpret_cast<std::uint8_t*>(&out[0]), out.size())) {
      return "(frame " + std::to_string(frame) + " not decoded)";
    }
    file += out;
  }
  return file;
}

TEST(GenerateManifest, CompressWritesFormsThatPayOffAndRemovesTheRest) {
  TempFolder release;
  std::string text;
  for (int i = 0; text.size() < 300000; ++i) text += "entry " + std::to_string(i) + " of the table\r\n";
  std::string noise(200000, '\0');
  std::uint32_t x = 12345;
  for (char& c : noise) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
  // 4 KiB exactly is the smallest file with a form; a file that is mostly
  // noise saves too little to have one.
  release.Write("a.txt", text);
  release.Write("sub/b.txt", text.substr(0, 4096));
  release.Write("small.txt", text.substr(0, 4095));
  release.Write("noise.bin", noise);
  release.Write("mostly.bin", text.substr(0, 5000) + noise.substr(0, 95000));
  release.Write("gone.txt", text);
  release.Write("UpDate.frames/gone.txt", "left from a release where it compressed");
  release.Write("UpDate.frames/noise.bin", "as if it once compressed");
  release.Write("UpDate.delta/keep", "not ours to remove");

  GenerateRequest request;
  request.releaseDir = release.Root();
  request.codePage = 936;
  request.threads = 2;
  std::vector<std::string> notes;
  const std::string plain = GenerateManifest(request, notes).bytes;
  EXPECT_EQ("left from a release where it compressed", Contents(release.Root() / "UpDate.frames/gone.txt"))
      << "without --compress nothing there changes";

  fs::remove(release.Root() / "gone.txt");
  request.compress = true;
  const std::string compressed = GenerateManifest(request, notes).bytes;
  EXPECT_EQ(std::vector<std::string>({"a.txt", "mostly.bin", "noise.bin", "small.txt", "sub\\b.txt"}),
            [&] {
              std::vector<std::string> names;
              for (const std::string& l : Lines(compressed)) names.push_back(NameOfLine(l));
              return names;
            }());
  const fs::path forms = release.Root() / "UpDate.frames";
  EXPECT_EQ(text, Decoded(Contents(forms / "a.txt")));
  EXPECT_LT(Contents(forms / "a.txt").size(), text.size() / 4);
  EXPECT_EQ(text.substr(0, 4096), Decoded(Contents(forms / "sub/b.txt")));
  for (const char* none : {"small.txt", "noise.bin", "mostly.bin", "gone.txt", "a.txt.tmp"}) {
    EXPECT_FALSE(fs::exists(forms / none)) << none;
  }
  EXPECT_TRUE(fs::exists(release.Root() / "UpDate.delta/keep"));
  // Clients learn from the list which forms there are, by their manifest names.
  EXPECT_EQ("a.txt\t" + std::to_string(fs::file_size(forms / "a.txt")) + "\r\nsub\\b.txt\t" +
                std::to_string(fs::file_size(forms / "sub/b.txt")) + "\r\n",
            Contents(release.Root() / "UpDate.frames.ini"));

  // A file that stops compressing loses its form; the folder and the list
  // go with the last.
  release.Write("a.txt", noise);
  release.Write("sub/b.txt", "short now");
  const std::string again = GenerateManifest(request, notes).bytes;
  EXPECT_FALSE(fs::exists(forms));
  EXPECT_FALSE(fs::exists(release.Root() / "UpDate.frames.ini"));
  EXPECT_EQ(std::string::npos, again.find("UpDate.frames")) << "never a release file";
}

TEST(GenerateManifest, PackHoldsTheSmallFilesInManifestOrderAndGoesWithTheLast) {
  TempFolder release;
  std::string text;
  for (int i = 0; text.size() < kPackedMaxLength; ++i) text += "row " + std::to_string(i) + " of the table\r\n";
  std::string noise(3000, '\0');
  std::uint32_t x = 7;
  for (char& c : noise) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
  const std::vector<std::string> small = {"a.txt", "edge.txt", "noise.bin", "\xE6\x95\xB0\xE6\x8D\xAE/x.txt"};
  release.Write("a.txt", text.substr(0, 20000));
  release.Write("edge.txt", text.substr(0, kPackedMaxLength));  // the longest that goes in
  release.Write("noise.bin", noise);                             // goes in as it is
  release.Write(small[3], "x");                                   // 数据/x.txt
  release.Write("big.txt", text.substr(0, kPackedMaxLength) + "!");
  release.Write("empty.dat", "");
  release.Write("UpDate.pack", "left from an older release");
  release.Write("UpDate.pack.ini", "UpDate.pack\t26\r\n");

  const std::string plain = Generate(release.Root(), 936, 2).bytes;
  EXPECT_EQ("left from an older release", Contents(release.Root() / "UpDate.pack")) << "without --pack nothing changes";
  const GeneratedManifest manifest = Generate(release.Root(), 936, 2, true);
  EXPECT_EQ(plain, manifest.bytes);

  const std::string pack = Contents(release.Root() / "UpDate.pack");
  const std::string tableBytes = Contents(release.Root() / "UpDate.pack.ini");
  const std::vector<std::string> lines = Lines(tableBytes);
  ASSERT_EQ(lines.size(), 5u) << tableBytes;
  EXPECT_EQ("UpDate.pack\t" + std::to_string(pack.size()), lines[0]);
  // Named as the manifest writes them: in its code page, in its order.
  EXPECT_EQ((std::vector<std::string>{"a.txt", "edge.txt", "noise.bin", "\xCA\xFD\xBE\xDD\\x.txt"}),
            (std::vector<std::string>{NameOfLine(lines[1]), NameOfLine(lines[2]), NameOfLine(lines[3]),
                                      NameOfLine(lines[4])}));
  const auto table = ReadPackTable(PreparedTextOf(tableBytes, CodePage(936)));
  ASSERT_TRUE(table);
  EXPECT_EQ(table->length, pack.size());
  std::uint64_t offset = 0;
  for (const ManifestFile& file : manifest.files) {
    const auto entry = table->entries.find(file.name);
    ASSERT_EQ(file.size > 0 && file.size <= kPackedMaxLength, entry != table->entries.end()) << file.size;
    if (entry == table->entries.end()) continue;
    EXPECT_EQ(entry->second.offset, offset);
    offset = entry->second.End();
    EXPECT_EQ(entry->second.digest, std::wstring(file.digest.begin(), file.digest.end()));
    const auto bytes = UnpackEntry(entry->second, std::string_view(pack).substr(entry->second.offset,
                                                                                entry->second.stored));
    ASSERT_TRUE(bytes);
    EXPECT_EQ(Md5::HexOf(*bytes), file.digest);
  }
  EXPECT_EQ(offset, pack.size());
  EXPECT_EQ(kPackDeflated, table->entries.at(L"edge.txt").codec);
  EXPECT_LT(table->entries.at(L"a.txt").stored, 20000u / 4);
  EXPECT_EQ(kPackStored, table->entries.at(L"noise.bin").codec);
  EXPECT_EQ(kPackStored, table->entries.at(L"\u6570\u636E\\x.txt").codec);

  // With no small file left, the pack and its table go.
  for (const std::string& name : small) fs::remove(release.Root() / name);
  Generate(release.Root(), 936, 2, true);
  for (const char* gone : {"UpDate.pack", "UpDate.pack.ini", "UpDate.pack.tmp", "UpDate.pack.ini.tmp"}) {
    EXPECT_FALSE(fs::exists(release.Root() / gone)) << gone;
  }
}

TEST(GenerateManifest, GeneratingIntoTheReleaseTwiceGivesTheSameManifest) {
  TempFolder release;
  release.Write("a.txt", "a");
  release.Write("b/c.txt", "c");
  GenerateRequest request;
  request.releaseDir = release.Root();
  request.codePage = 936;
  request.outputFile = release.Root() / "UpDate.ini";
  std::vector<std::string> notes;
  const std::string first = GenerateManifest(request, notes).bytes;
  WriteFileReplacing(*request.outputFile, first);
  EXPECT_EQ(GenerateManifest(request, notes).bytes, first);
  EXPECT_FALSE(fs::exists(release.Root() / "UpDate.ini.tmp"));
}

TEST(GenerateManifest, ThreadCountDoesNotChangeTheResult) {
  TempFolder release;
  for (int i = 0; i < 60; ++i) {
    release.Write("f" + std::to_string(i % 7) + "/" + std::to_string(i) + ".bin",
                  std::string(static_cast<std::size_t>(i) * 9973, static_cast<char>('a' + i % 26)));
  }
  const std::string one = Generate(release.Root(), 936, 1).bytes;
  EXPECT_EQ(Lines(one).size(), 60u);
  EXPECT_EQ(Generate(release.Root(), 936, 4).bytes, one);
}

TEST(GenerateManifest, MissingFolderIsAnError) {
  TempFolder parent;
  EXPECT_THROW(Generate(parent.Root() / "no-such-release"), ToolError);
  const fs::path file = parent.Write("plain.txt", "x");
  EXPECT_THROW(Generate(file), ToolError);
}

TEST(WriteFileReplacing, ReplacesWholeOrLeavesNothing) {
  TempFolder folder;
  const fs::path target = folder.Write("UpDate.ini", "old");
  WriteFileReplacing(target, "new\r\n");
  EXPECT_EQ(ReadWholeFile(target), "new\r\n");
  EXPECT_FALSE(fs::exists(folder.Root() / "UpDate.ini.tmp"));

  const fs::path unwritable = folder.Root() / "missing-folder" / "UpDate.ini";
  EXPECT_THROW(WriteFileReplacing(unwritable, "x"), ToolError);
  EXPECT_FALSE(fs::exists(unwritable));

  // The target is a folder: the rename fails and the temporary file goes.
  fs::create_directory(folder.Root() / "taken");
  fs::create_directory(folder.Root() / "taken" / "inner");
  EXPECT_THROW(WriteFileReplacing(folder.Root() / "taken", "x"), ToolError);
  EXPECT_FALSE(fs::exists(folder.Root() / "taken.tmp"));

  EXPECT_THROW(ReadWholeFile(folder.Root() / "absent.ini"), ToolError);
}

}  // namespace

#include "transfer/frames.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "support/random_bytes.h"
#include "transfer/delta_index.h"

namespace {

constexpr std::uint32_t kFrame = 4096;

// Text that deflates well, with one frame of noise that does not.
std::string SampleFile() {
  std::string file;
  for (int i = 0; file.size() < 2 * kFrame; ++i) file += "line " + std::to_string(i % 97) + " of a sample\r\n";
  file.resize(2 * kFrame);
  file += RandomBytes(kFrame, 7);
  file += std::string(1000, 'z');  // the last frame, shorter
  return file;
}

std::string Deflated(const std::string& bytes) {
  std::string out;
  MakeFrameCodec(kDeflateCodec)
      ->Encode(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), out);
  return out;
}

// A form put together frame by frame, so a test can make any part of it lie.
struct Form {
  std::uint64_t length = 0;
  std::uint32_t frameSize = kFrame;
  std::uint8_t codec = kDeflateCodec;
  std::vector<std::uint32_t> sizes;
  std::vector<std::uint64_t> sums;
  std::vector<std::string> frames;

  static Form Of(const std::string& file) {
    Form form;
    form.length = file.size();
    for (std::size_t at = 0; at < file.size(); at += kFrame) {
      const std::string frame = file.substr(at, kFrame);
      std::string stored = Deflated(frame);
      if (stored.size() >= frame.size()) stored = frame;
      form.sizes.push_back(static_cast<std::uint32_t>(stored.size()));
      form.sums.push_back(StrongSum(reinterpret_cast<const std::uint8_t*>(frame.data()), frame.size()));
      form.frames.push_back(stored);
    }
    return form;
  }

  std::string Bytes() const {
    std::string out = "UPDFRAM1";
    const auto put = [&out](std::uint64_t value, int bytes) {
      for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>(value >> (8 * i)));
    };
    put(length, 8);
    put(frameSize, 4);
    put(codec, 1);
    put(0, 3);
    for (std::size_t i = 0; i < sizes.size(); ++i) {
      put(sizes[i], 4);
      put(sums[i], 8);
    }
    for (const std::string& frame : frames) out += frame;
    return out;
  }
};

// Every frame decoded into a buffer of its length, in order.
::testing::AssertionResult DecodesTo(const std::string& form, const std::string& file) {
  const auto table = ParseFramesTable(form, form.size(), file.size());
  if (!table) return ::testing::AssertionFailure() << "table not read";
  FrameDecoder decoder(*table);
  std::string built;
  for (std::uint64_t frame = 0; frame < table->Frames(); ++frame) {
    const FrameRange range = table->Range(frame);
    if (range.fileOffset != built.size()) return ::testing::AssertionFailure() << "frame " << frame << " misplaced";
    std::string out(range.decodedLength, '\0');
    if (!decoder.Decode(frame, std::string_view(form).substr(range.formOffset, range.storedSize),
                        reinterpret_cast<std::uint8_t*>(&out[0]), out.size())) {
      return ::testing::AssertionFailure() << "frame " << frame << " not decoded";
    }
    built += out;
  }
  if (built != file) return ::testing::AssertionFailure() << "decoded bytes differ";
  return ::testing::AssertionSuccess();
}

TEST(Frames, WriterInAnyPiecesMakesTheSameFormAndItDecodes) {
  const std::string file = SampleFile();
  const std::string whole = MakeFrames(file, kFrame);
  FramesWriter writer(file.size(), kFrame);
  std::string frames;
  for (std::size_t at = 0; at < file.size(); at += 777) writer.Add(file.data() + at, std::min<std::size_t>(777, file.size() - at), frames);
  ASSERT_TRUE(writer.Finish(frames));
  EXPECT_EQ(writer.HeadLength() + frames.size(), writer.FormLength());
  EXPECT_EQ(whole, writer.Head() + frames);
  EXPECT_TRUE(DecodesTo(whole, file));

  const auto table = ParseFramesTable(whole, whole.size());
  ASSERT_TRUE(table);
  ASSERT_EQ(4u, table->Frames());
  EXPECT_LT(table->Range(0).storedSize, kFrame / 4);
  EXPECT_TRUE(table->Range(2).Stored());  // noise stays as it is
  EXPECT_EQ(1000u, table->Range(3).decodedLength);
  EXPECT_EQ(3u * kFrame, table->Range(3).fileOffset);
  EXPECT_EQ(3u, table->FrameAt(3u * kFrame));
}

TEST(Frames, ShortFedAndEmptyFiles) {
  FramesWriter writer(10, kFrame);
  std::string frames;
  writer.Add("123456789", 9, frames);
  EXPECT_FALSE(writer.Finish(frames));

  const std::string empty = MakeFrames("", kFrame);
  EXPECT_EQ(kFramesHeaderSize, empty.size());
  const auto table = ParseFramesTable(empty, empty.size(), 0);
  ASSERT_TRUE(table);
  EXPECT_EQ(0u, table->Frames());
}

// Forms the reader refuses whole: nothing of them is used.
TEST(Frames, TablesThatDoNotAddUpAreRefused) {
  const std::string file = SampleFile();
  const Form good = Form::Of(file);
  struct Case {
    const char* what;
    std::function<void(Form&)> change;
    std::function<void(std::string&)> edit;
  };
  const std::vector<Case> cases = {
      {"another magic", nullptr, [](std::string& b) { b[7] = '2'; }},
      {"frame size not a power of two", [](Form& f) { f.frameSize = 5000; }, nullptr},
      {"frame size below 4 KiB", [](Form& f) { f.frameSize = 2048; }, nullptr},
      {"frame size above 4 MiB", [](Form& f) { f.frameSize = 8u << 20; }, nullptr},
      {"unknown codec", [](Form& f) { f.codec = 2; }, nullptr},
      {"stored codec in the header", [](Form& f) { f.codec = 0; }, nullptr},
      {"reserved byte set", nullptr, [](std::string& b) { b[23] = 1; }},
      {"form cut short", nullptr, [](std::string& b) { b.pop_back(); }},
      {"trailing byte after the frames", nullptr, [](std::string& b) { b += 'x'; }},
      {"a frame stored in 0 bytes", [](Form& f) {
         f.frames[1].clear();
         f.sizes[1] = 0;
       }, nullptr},
      {"stored size above the decoded length", [](Form& f) {
         f.frames[3] += std::string(1000, 'z');
         f.sizes[3] += 1000;
       }, nullptr},
      {"length claims a frame more than the table", [](Form& f) { f.length += kFrame; }, nullptr},
      {"length claims a frame less than the table", [](Form& f) { f.length -= 1000; }, nullptr},
      {"table cut inside an entry", nullptr, [](std::string& b) { b.resize(kFramesHeaderSize + 20); }},
      {"header cut short", nullptr, [](std::string& b) { b.resize(kFramesHeaderSize - 1); }},
  };
  for (const Case& c : cases) {
    Form form = good;
    if (c.change) c.change(form);
    std::string bytes = form.Bytes();
    if (c.edit) c.edit(bytes);
    EXPECT_FALSE(ParseFramesTable(bytes, bytes.size())) << c.what;
  }
  const std::string bytes = good.Bytes();
  EXPECT_TRUE(ParseFramesTable(bytes, bytes.size(), file.size()));
  EXPECT_FALSE(ParseFramesTable(bytes, bytes.size(), file.size() + 1)) << "another file's length";
  // The head alone, with the whole form's length as served, is enough.
  const auto head = ParseFramesTable(std::string_view(bytes).substr(0, kFramesHeaderSize + 4 * kFrameEntrySize),
                                     bytes.size(), file.size());
  ASSERT_TRUE(head);
  EXPECT_EQ(bytes.size() - good.sizes[3], head->Range(3).formOffset);
  EXPECT_FALSE(ParseFramesTable(bytes, bytes.size() + 1)) << "served longer than the table says";
}

// Tables that add up but whose frames do not decode to what they claim.
TEST(Frames, FramesThatDoNotDecodeToTheirEntryAreRefused) {
  const std::string file = SampleFile();
  const Form good = Form::Of(file);
  const std::string frame0 = file.substr(0, kFrame), frame3 = file.substr(3 * kFrame);
  struct Case {
    const char* what;
    std::uint64_t frame;
    std::function<void(Form&)> change;
  };
  const std::vector<Case> cases = {
      {"a lying table: one byte moves to the next frame", 0, [](Form& f) {
         f.frames[1].insert(0, 1, f.frames[0].back());
         f.frames[0].pop_back();
         --f.sizes[0];
         ++f.sizes[1];
       }},
      {"the next frame of that table", 1, [](Form& f) {
         f.frames[1].insert(0, 1, f.frames[0].back());
         f.frames[0].pop_back();
         --f.sizes[0];
         ++f.sizes[1];
       }},
      {"a frame cut short", 0, [](Form& f) {
         f.frames[0].resize(f.frames[0].size() / 2);
         f.sizes[0] = static_cast<std::uint32_t>(f.frames[0].size());
       }},
      {"decodes to a byte more", 3, [&](Form& f) {
         f.frames[3] = Deflated(frame3 + "z");
         f.sizes[3] = static_cast<std::uint32_t>(f.frames[3].size());
       }},
      {"decodes to a byte less", 3, [&](Form& f) {
         f.frames[3] = Deflated(frame3.substr(1));
         f.sizes[3] = static_cast<std::uint32_t>(f.frames[3].size());
       }},
      {"trailing bytes after the frame's stream", 0, [](Form& f) {
         f.frames[0] += "xy";
         f.sizes[0] += 2;
       }},
      {"checksum mismatch", 0, [](Form& f) { f.sums[0] ^= 1; }},
      {"a stored frame changed", 2, [](Form& f) { f.frames[2][100] ^= 0x40; }},
      {"deflate bytes that are no stream", 0, [](Form& f) { f.frames[0].assign(f.frames[0].size(), '\xff'); }},
      {"another frame's bytes and sum", 3, [&](Form& f) {
         f.frames[3] = Deflated(std::string(1000, 'y'));
         f.sizes[3] = static_cast<std::uint32_t>(f.frames[3].size());
       }},
  };
  for (const Case& c : cases) {
    Form form = good;
    c.change(form);
    const std::string bytes = form.Bytes();
    const auto table = ParseFramesTable(bytes, bytes.size(), file.size());
    ASSERT_TRUE(table) << c.what;
    const FrameRange range = table->Range(c.frame);
    // One byte of room past the buffer: a decoder that writes more than it
    // was given shows there.
    std::string out(range.decodedLength + 1, '\x5a');
    FrameDecoder decoder(*table);
    EXPECT_FALSE(decoder.Decode(c.frame, std::string_view(bytes).substr(range.formOffset, range.storedSize),
                                reinterpret_cast<std::uint8_t*>(&out[0]), range.decodedLength))
        << c.what;
    EXPECT_EQ('\x5a', out.back()) << c.what;
  }
  // The untouched form, and a buffer of another size than the frame's.
  const std::string bytes = good.Bytes();
  EXPECT_TRUE(DecodesTo(bytes, file));
  const auto table = ParseFramesTable(bytes, bytes.size(), file.size());
  FrameDecoder decoder(*table);
  std::string out(kFrame + 1, '\0');
  const FrameRange range = table->Range(0);
  EXPECT_FALSE(decoder.Decode(0, std::string_view(bytes).substr(range.formOffset, range.storedSize),
                              reinterpret_cast<std::uint8_t*>(&out[0]), out.size()));
  EXPECT_FALSE(decoder.Decode(4, std::string_view(), reinterpret_cast<std::uint8_t*>(&out[0]), 1)) << "no such frame";
}

TEST(Frames, FramesFolderNames) {
  EXPECT_TRUE(IsFramesName(L"UpDate.frames\\a.dll"));
  EXPECT_TRUE(IsFramesName(L"update.FRAMES/sub/a.dll"));
  EXPECT_FALSE(IsFramesName(L"UpDate.frames"));
  EXPECT_TRUE(IsFramesName(L"update.frames.INI"));
  EXPECT_FALSE(IsFramesName(L"UpDate.frames.ini.txt"));
  EXPECT_FALSE(IsFramesName(L"UpDate.framesX\\a.dll"));
  EXPECT_FALSE(IsFramesName(L"sub\\UpDate.frames\\a.dll"));
}

}  // namespace

// What a FormReader handed on, fed a form in pieces from `from` on.
struct Read {
  FormReader::State state = FormReader::State::kMore;
  std::string file;  // the decoded bytes, placed at their offsets
  std::uint64_t first = ~std::uint64_t{0};
  std::uint64_t end = 0;  // past the last byte handed on
  bool inOrder = true;    // each piece began where the one before ended
};

Read ReadForm(const std::string& form, std::size_t piece, std::uint64_t held = 0, unsigned helpers = 0) {
  Read read;
  FormReader reader(
      form.size(), [&](const FramesTable& table) { read.file.assign(table.header.length, '\0'); return true; },
      [&](std::uint64_t at, const std::uint8_t* data, std::size_t size) {
        if (at + size > read.file.size()) return false;
        if (read.end != 0 && at != read.end) read.inOrder = false;
        read.first = std::min(read.first, at);
        read.end = at + size;
        read.file.replace(at, size, reinterpret_cast<const char*>(data), size);
        return true;
      },
      helpers);
  while (reader.Next() < form.size() && reader.Current() == FormReader::State::kMore) {
    // The head alone first, as a resumed run asks for it, then from the
    // frame holding the first byte not held.
    const std::uint64_t at = reader.Table() ? reader.SkipTo(held) : reader.Next();
    read.state = reader.Feed(form.data() + at, std::min<std::size_t>(piece, form.size() - at));
  }
  read.state = reader.Current();
  return read;
}

TEST(FormReader, DecodesAFormInAnyPiecesAndFromTheFrameOfAHeldPrefix) {
  const std::string file = SampleFile();
  const std::string form = MakeFrames(file, kFrame);
  for (std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{kFrame}, form.size()}) {
    const Read read = ReadForm(form, piece);
    EXPECT_EQ(FormReader::State::kDone, read.state) << piece;
    EXPECT_EQ(file, read.file) << piece;
  }
  // Held bytes in the middle of the second frame: after the head, decoding
  // starts with that frame.
  const Read resumed = ReadForm(form, kFramesHeaderSize + 4 * kFrameEntrySize, kFrame + 10);
  EXPECT_EQ(FormReader::State::kDone, resumed.state);
  EXPECT_EQ(kFrame, resumed.first);
  EXPECT_EQ(file.substr(kFrame), resumed.file.substr(kFrame));
  // All held: the last frame is still read, so the end is confirmed.
  EXPECT_EQ(3u * kFrame, ReadForm(form, 100, file.size()).first);
}

TEST(FormReader, FramesDecodedOnHelpersAreHandedOnInOrderUpToTheFirstBadOne) {
  std::string file;
  for (int i = 0; file.size() < 40 * kFrame; ++i) file += "entry " + std::to_string(i) + " of many\r\n";
  file.resize(40 * kFrame + 123);
  const std::string form = MakeFrames(file, kFrame);
  for (std::size_t piece : {std::size_t{777}, std::size_t{50000}, form.size()}) {
    const Read read = ReadForm(form, piece, 0, 2);
    EXPECT_EQ(FormReader::State::kDone, read.state) << piece;
    EXPECT_TRUE(read.inOrder) << piece;
    EXPECT_EQ(file, read.file) << piece;
  }
  std::string damaged = form;
  damaged[ParseFramesTable(form, form.size())->formOffsets[23] + 5] ^= 0x20;
  for (std::size_t piece : {std::size_t{50000}, form.size()}) {
    const Read read = ReadForm(damaged, piece, 0, 2);
    EXPECT_EQ(FormReader::State::kBad, read.state) << piece;
    EXPECT_TRUE(read.inOrder) << piece;
    EXPECT_EQ(23u * kFrame, read.end) << piece;
    EXPECT_EQ(file.substr(0, 23 * kFrame), read.file.substr(0, 23 * kFrame)) << piece;
  }
}

TEST(FormReader, AnythingThatIsNotTheServedFormIsBad) {
  const std::string file = SampleFile();
  const std::string form = MakeFrames(file, kFrame);
  // Another length confirmed by the server than the table adds up to.
  for (std::uint64_t served : {form.size() - 1, form.size() + 1}) {
    FormReader reader(served, [](const FramesTable&) { return true; },
                      [](std::uint64_t, const std::uint8_t*, std::size_t) { return true; });
    EXPECT_EQ(FormReader::State::kBad, reader.Feed(form.data(), std::min<std::size_t>(form.size(), served)));
  }
  // A frame's bytes changed: the frames before it were handed on, not it.
  std::string damaged = form;
  damaged[damaged.size() - 1500] ^= 0x20;
  const Read read = ReadForm(damaged, 333);
  EXPECT_EQ(FormReader::State::kBad, read.state);
  EXPECT_EQ(file.substr(0, kFrame), read.file.substr(0, kFrame));
  // A header claiming a table past what a client holds, and sinks that say no.
  Form huge = Form::Of(file);
  huge.length = std::uint64_t{1} << 40;
  FormReader claims(std::uint64_t{1} << 41, [](const FramesTable&) { return true; },
                    [](std::uint64_t, const std::uint8_t*, std::size_t) { return true; });
  EXPECT_EQ(FormReader::State::kBad, claims.Feed(huge.Bytes().data(), kFramesHeaderSize));
  FormReader refusing(form.size(), [](const FramesTable&) { return false; },
                      [](std::uint64_t, const std::uint8_t*, std::size_t) { return true; });
  EXPECT_EQ(FormReader::State::kBad, refusing.Feed(form.data(), form.size()));
}

TEST(ChooseFrames, RewrittenFramesComeCompressedScatteredEditsStayRaw) {
  // Four frames of 4 KiB: text (stores small), noise (stored as it is), text, text.
  std::string file;
  for (int i = 0; file.size() < 4 * kFrame; ++i) file += "line " + std::to_string(i % 97) + " of a sample\r\n";
  file.resize(4 * kFrame);
  const std::string noise = RandomBytes(kFrame, 3);
  file.replace(kFrame, kFrame, noise);
  const std::string form = MakeFrames(file, kFrame);
  const auto table = ParseFramesTable(form, form.size());
  ASSERT_TRUE(table);
  ASSERT_LT(table->storedSizes[0], 1000u);
  const std::vector<ByteRange> wanted = {
      {10, 3999},                         // most of frame 0: its form is far smaller
      {kFrame + 5, kFrame + 3000},        // most of the noise frame: stored whole, raw is smaller
      {2 * kFrame + 100, 2 * kFrame + 103},  // four bytes of frame 2
      {3 * kFrame - 8, 3 * kFrame + 4095},   // the end of frame 2 and all of frame 3
  };
  const FetchChoice choice = ChooseFrames(wanted, *table);
  EXPECT_EQ((std::vector<std::uint64_t>{0, 3}), choice.frames);
  EXPECT_EQ((std::vector<ByteRange>{{kFrame + 5, kFrame + 3000},
                                    {2 * kFrame + 100, 2 * kFrame + 103},
                                    {3 * kFrame - 8, 3 * kFrame - 1}}),
            choice.raw);
  // Many small ranges in one frame cost their parts' headers too.
  std::vector<ByteRange> scattered;
  for (std::uint64_t at = 2 * kFrame; at < 3 * kFrame; at += 256) scattered.push_back({at, at + 3});
  EXPECT_EQ((std::vector<std::uint64_t>{2}), ChooseFrames(scattered, *table).frames);
  EXPECT_TRUE(ChooseFrames(scattered, *table).raw.empty());
}

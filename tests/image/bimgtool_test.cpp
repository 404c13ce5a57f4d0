// bimgtool end to end, driven in-process against a simulated world that reads
// the host disk, and the bundled sample image.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "image/image.h"
#include "image/image_file.h"
#include "sim/world.h"
#include "tools/bimgtool/bimgtool.h"
#include "tools/samplefw/samplefw.h"

namespace kv27 {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

Bytes ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const fs::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes Plain(std::uint32_t seed) {
  Bytes plain(kImagePayloadSize);
  for (auto& b : plain) {
    seed = seed * 1103515245u + 12345u;
    b = static_cast<std::uint8_t>(seed >> 16);
  }
  return plain;
}

std::string LastLine(const std::string& text) {
  std::string trimmed = text;
  while (!trimmed.empty() && trimmed.back() == '\n') trimmed.pop_back();
  const auto cut = trimmed.rfind('\n');
  return cut == std::string::npos ? trimmed : trimmed.substr(cut + 1);
}

std::string Utf8(const std::u16string& text) { return sim::ToUtf8(text); }

class BimgTool : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    dir_ = fs::temp_directory_path() / ("bimgtool_test_" + std::to_string(stamp));
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  std::string P(const std::string& name) const { return (dir_ / name).string(); }

  int Run(const std::vector<std::string>& args) {
    sim::World world;
    std::ostringstream out, err;
    const int status = RunBimgTool(world, args, out, err);
    out_ = out.str();
    err_ = err.str();
    leaks_ = world.LeakReport();
    return status;
  }

  // Files left in the work folder, by name.
  std::vector<std::string> Files() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  // Packs a plain payload into an upgrade-ready image at `name`.
  void MakeImage(const std::string& name) {
    WriteBytes(P("plain.bin"), Plain(1));
    ASSERT_EQ(Run({"pack", "--type", "1", "--name", "KV27-N4", "--force-crc", "0x6A68", P("plain.bin"), P(name)}), 0)
        << err_;
  }

  fs::path dir_;
  std::string out_, err_, leaks_;
};

TEST_F(BimgTool, PackUnpackRoundTripsOverTheThreeTypes) {
  for (int type : {1, 2, 3}) {
    const Bytes plain = Plain(static_cast<std::uint32_t>(type));
    WriteBytes(P("plain.bin"), plain);
    ASSERT_EQ(Run({"pack", "--type", std::to_string(type), "--name", "FW", P("plain.bin"), P("fw.bimg")}), 0) << err_;
    EXPECT_EQ(leaks_, "");
    const Bytes image = ReadBytes(P("fw.bimg"));
    ASSERT_EQ(image.size(), kImageHeaderSize + kImagePayloadSize);
    EXPECT_EQ(image[kImageOffType], type);
    EXPECT_EQ(ImageReadU32(image.data(), kImageOffDataCrc), ImageCrc16(plain.data(), plain.size()));
    EXPECT_EQ(ImageReadU32(image.data(), kImageOffLength), kImagePayloadSize);

    ASSERT_EQ(Run({"unpack", P("fw.bimg"), P("out.bin")}), 0) << err_;
    EXPECT_EQ(ReadBytes(P("out.bin")), plain) << type;
    EXPECT_EQ(leaks_, "");
  }
  EXPECT_EQ(Files(), (std::vector<std::string>{"fw.bimg", "out.bin", "plain.bin"}));
}

TEST_F(BimgTool, ForcedCrcMakesAnImageTheUpgradeAccepts) {
  MakeImage("fw.bimg");
  EXPECT_NE(out_.find("0x3FFE..0x3FFF"), std::string::npos) << out_;
  ASSERT_EQ(Run({"unpack", P("fw.bimg"), P("out.bin")}), 0) << err_;
  const Bytes plain = ReadBytes(P("out.bin"));
  const Bytes original = Plain(1);
  EXPECT_EQ(ImageCrc16(plain.data(), plain.size()), 0x6A68);
  EXPECT_TRUE(std::equal(original.begin(), original.begin() + 0x3FFE, plain.begin()));

  EXPECT_EQ(Run({"check", P("fw.bimg")}), 0) << out_;
  EXPECT_EQ(std::count(out_.begin(), out_.end(), '\n'), 1) << out_;
  EXPECT_NE(out_.find("valid"), std::string::npos);
  EXPECT_EQ(leaks_, "");
}

TEST_F(BimgTool, CheckPrintsTheUpgradeMessageLast) {
  MakeImage("good.bimg");
  const Bytes good = ReadBytes(P("good.bimg"));
  auto edited = [&](std::size_t offset, std::uint32_t value) {
    Bytes file = good;
    ImageWriteU32(file.data(), offset, value);
    ImageSealHeader(file.data());
    return file;
  };
  Bytes badName = good;
  badName[kImageOffName + 7] = '!';
  ImageSealHeader(badName.data());
  Bytes badPayload = good;
  badPayload[100] ^= 1;

  struct Case {
    const char* name;
    Bytes bytes;
    const char16_t* message;
  };
  const std::vector<Case> cases = {
      {"short-header.bimg", Bytes(good.begin(), good.begin() + 20), u"读镜像头失败！"},
      {"bad-magic.bimg", edited(kImageOffMagic, 0), u"无效的镜像文件！"},
      {"type2.bimg",
       [&] {
         Bytes f = good;
         f[kImageOffType] = 2;
         ImageSealHeader(f.data());
         return f;
       }(),
       u"不是KV27镜像文件！"},
      {"bad-name.bimg", badName, u"镜像名称错误！"},
      {"bad-crc.bimg", edited(kImageOffDataCrc, 0x10006A68), u"镜像CHECKSUM错误！"},
      {"bad-length.bimg", edited(kImageOffLength, 0x3FFF), u"镜像文件的长度错误！"},
      {"short-payload.bimg", Bytes(good.begin(), good.end() - 1), u"读镜像文件失败！"},
      {"bad-payload.bimg", badPayload, u"镜像解码验证失败！"},
  };
  for (const Case& c : cases) {
    WriteBytes(P(c.name), c.bytes);
    EXPECT_EQ(Run({"check", P(c.name)}), 1) << c.name;
    EXPECT_EQ(LastLine(out_), Utf8(c.message)) << c.name << "\n" << out_;
    EXPECT_EQ(leaks_, "") << c.name;
  }
  EXPECT_EQ(Run({"check", P("missing.bimg")}), 1);
  EXPECT_EQ(LastLine(out_), Utf8(u"打开镜像文件失败！"));

  Bytes trailing = good;
  trailing.insert(trailing.end(), 5, 0);
  WriteBytes(P("trailing.bimg"), trailing);
  EXPECT_EQ(Run({"check", P("trailing.bimg")}), 0) << out_;
}

TEST_F(BimgTool, InfoShowsEveryFieldAndEachCheck) {
  MakeImage("good.bimg");
  EXPECT_EQ(Run({"info", P("good.bimg")}), 0) << out_;
  for (const char* expected :
       {"0x42497631", "0x00004000 (16384)", "0x00006A68", "1 (KV27)", "\"KV27-N4\"", "4B 56 32 37 2D 4E 34 00",
        "decode verify                pass", "accepted for upgrade"}) {
    EXPECT_NE(out_.find(expected), std::string::npos) << expected << "\n" << out_;
  }
  EXPECT_EQ(out_.find("FAIL"), std::string::npos) << out_;

  // A type 3 image with another name and CRC: the header check passes, the
  // upgrade's own checks do not, and the verdict names the first failure.
  WriteBytes(P("plain.bin"), Plain(9));
  ASSERT_EQ(Run({"pack", "--type", "3", "--name", "OTHER", P("plain.bin"), P("other.bimg")}), 0);
  EXPECT_EQ(Run({"info", P("other.bimg")}), 1);
  for (const char* expected : {"3 (KV14)", "header check                 pass", "image type 1                 FAIL",
                               "image name \"KV27-N4\"         FAIL", "data CRC field 0x6A68        FAIL",
                               "decode verify                pass"}) {
    EXPECT_NE(out_.find(expected), std::string::npos) << expected << "\n" << out_;
  }
  EXPECT_NE(LastLine(out_).find(Utf8(u"不是KV27镜像文件！")), std::string::npos) << out_;
  EXPECT_EQ(leaks_, "");
}

TEST_F(BimgTool, UsageErrorsExitWithTwo) {
  WriteBytes(P("plain.bin"), Plain(1));
  const std::string plain = P("plain.bin");
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"frobnicate"},
      {"pack", "--type", "1", plain, P("o.bimg")},
      {"pack", "--name", "N4", plain, P("o.bimg")},
      {"pack", "--type", "0", "--name", "N4", plain, P("o.bimg")},
      {"pack", "--type", "4", "--name", "N4", plain, P("o.bimg")},
      {"pack", "--type", "one", "--name", "N4", plain, P("o.bimg")},
      {"pack", "--type", "1", "--name", "NINECHARS", plain, P("o.bimg")},
      {"pack", "--type", "1", "--name", "N4", "--force-crc", "0x10000", plain, P("o.bimg")},
      {"pack", "--type", "1", "--name", "N4", "--force-crc", "6A68", plain, P("o.bimg")},
      {"pack", "--type", "1", "--name", "N4", "--verbose", plain, P("o.bimg")},
      {"pack", "--type", "1", "--name", "N4", plain},
      {"pack", "--type", "1", "--name"},
      {"unpack", P("x.bimg")},
      {"check"},
      {"check", P("a"), P("b")},
      {"info"},
  };
  for (const auto& args : cases) {
    std::string joined;
    for (const auto& a : args) joined += a + " ";
    EXPECT_EQ(Run(args), 2) << joined;
    EXPECT_FALSE(err_.empty()) << joined;
  }
  EXPECT_EQ(Files(), std::vector<std::string>{"plain.bin"});
  EXPECT_EQ(Run({"--help"}), 0);

  // The operands of unpack, check and info: what is missing, or the first one
  // too many, is named.
  const std::pair<std::vector<std::string>, std::string> named[] = {
      {{"info", "a", "b"}, "bimgtool info: takes no more than IMAGE; 'b' is one too many\n"},
      {{"info"}, "bimgtool info: needs IMAGE; IMAGE is missing\n"},
      {{"check", "a", "b", "c"}, "bimgtool check: takes no more than IMAGE; 'b' is one too many\n"},
      {{"unpack", "a"}, "bimgtool unpack: needs IMAGE and OUT.bin; OUT.bin is missing\n"},
      {{"unpack", "a", "b", "c"}, "bimgtool unpack: takes no more than IMAGE and OUT.bin; 'c' is one too many\n"},
  };
  for (const auto& [args, line] : named) {
    EXPECT_EQ(Run(args), 2);
    EXPECT_EQ(err_.substr(0, line.size()), line);
  }
}

TEST_F(BimgTool, BadInputLeavesNoOutputBehind) {
  MakeImage("good.bimg");
  WriteBytes(P("keep.bin"), Bytes{1, 2, 3});

  WriteBytes(P("small.bin"), Bytes(kImagePayloadSize - 1, 0));
  EXPECT_EQ(Run({"pack", "--type", "1", "--name", "N4", P("small.bin"), P("new.bimg")}), 1);
  EXPECT_NE(err_.find("16384"), std::string::npos) << err_;
  WriteBytes(P("big.bin"), Bytes(kImagePayloadSize + 1, 0));
  EXPECT_EQ(Run({"pack", "--type", "1", "--name", "N4", P("big.bin"), P("new.bimg")}), 1);
  EXPECT_EQ(Run({"pack", "--type", "1", "--name", "N4", P("absent.bin"), P("new.bimg")}), 1);

  // A payload that no longer matches its data CRC: nothing is written, and an
  // existing output keeps its content.
  Bytes corrupt = ReadBytes(P("good.bimg"));
  corrupt[kImageHeaderSize + 5] ^= 0x40;
  WriteBytes(P("corrupt.bimg"), corrupt);
  EXPECT_EQ(Run({"unpack", P("corrupt.bimg"), P("keep.bin")}), 1);
  EXPECT_NE(err_.find("does not match"), std::string::npos) << err_;
  EXPECT_EQ(ReadBytes(P("keep.bin")), (Bytes{1, 2, 3}));

  WriteBytes(P("short.bimg"), Bytes(corrupt.begin(), corrupt.begin() + 1000));
  EXPECT_EQ(Run({"unpack", P("short.bimg"), P("new.bin")}), 1);
  Bytes badHeader = ReadBytes(P("good.bimg"));
  badHeader[kImageOffHeaderCrc] ^= 1;
  WriteBytes(P("badheader.bimg"), badHeader);
  EXPECT_EQ(Run({"unpack", P("badheader.bimg"), P("new.bin")}), 1);
  EXPECT_NE(err_.find("header CRC"), std::string::npos) << err_;

  // An output folder that does not exist: the write fails cleanly.
  EXPECT_EQ(Run({"unpack", P("good.bimg"), P("nowhere/out.bin")}), 1);

  EXPECT_EQ(Files(), (std::vector<std::string>{"badheader.bimg", "big.bin", "corrupt.bimg", "good.bimg", "keep.bin",
                                               "plain.bin", "short.bimg", "small.bin"}));
}

// The outputs never replace a file the user did not name as one: a file the
// user keeps under the temporary file's name ("OUT.part") keeps its bytes and
// stays, and the input is refused as the output, under any of its names. An
// output that exists is replaced (it was named as the output).
TEST_F(BimgTool, OutputsReplaceOnlyTheFileNamedAsTheOutput) {
  MakeImage("good.bimg");
  const Bytes image = ReadBytes(P("good.bimg"));
  WriteBytes(P("out.bin.part"), Bytes{7, 7});
  WriteBytes(P("out.bin"), Bytes{1});
  ASSERT_EQ(Run({"unpack", P("good.bimg"), P("out.bin")}), 0) << err_;
  EXPECT_EQ(ReadBytes(P("out.bin")).size(), kImagePayloadSize);
  EXPECT_EQ(ReadBytes(P("out.bin.part")), (Bytes{7, 7}));

  for (const std::string& output : {P("good.bimg"), (dir_ / "." / "good.bimg").string()}) {
    SCOPED_TRACE(output);
    EXPECT_EQ(Run({"unpack", P("good.bimg"), output}), 1);
    EXPECT_NE(err_.find("is the input"), std::string::npos) << err_;
    EXPECT_EQ(ReadBytes(P("good.bimg")), image);
    EXPECT_EQ(Run({"pack", "--type", "1", "--name", "KV27-N4", P("plain.bin"), (dir_ / "." / "plain.bin").string()}),
              1);
    EXPECT_EQ(ReadBytes(P("plain.bin")).size(), kImagePayloadSize);
  }
  EXPECT_EQ(Files(), (std::vector<std::string>{"good.bimg", "out.bin", "out.bin.part", "plain.bin"}));
  EXPECT_EQ(leaks_, "");
}

// The committed sample is what the generator and bimgtool make today.
TEST_F(BimgTool, SampleImageIsReproducible) {
  const Bytes plain = MakeSampleFirmware();
  ASSERT_EQ(plain.size(), kImagePayloadSize);
  WriteBytes(P("sample.bin"), plain);
  ASSERT_EQ(Run({"pack", "--type", "1", "--name", "KV27-N4", "--force-crc", "0x6A68", P("sample.bin"),
                 P("KV27M_FW_UPGRADE.bimg")}),
            0)
      << err_;
  const fs::path committed = fs::path(KV_SOURCE_DIR) / "res" / "KV27M_FW_UPGRADE.bimg";
  EXPECT_EQ(ReadBytes(P("KV27M_FW_UPGRADE.bimg")), ReadBytes(committed)) << "regenerate with scripts/make-sample.sh";

  sim::World world;
  const ImageFileResult result = LoadImageFile(world, sim::FromUtf8(committed.string()).c_str());
  ASSERT_TRUE(result.ok()) << Utf8(result.Message());
  // The user-data area is recognisable, so that a flash written with the
  // mouse's own data can be told apart from the image's.
  for (std::size_t i = 0x3800; i < 0x3F06; ++i) ASSERT_EQ(result.payload[i], 0xEE) << i;
  EXPECT_NE(result.payload[0x37FF], 0xEE);
  EXPECT_NE(result.payload[0x3F06], 0xEE);
  EXPECT_EQ(world.LeakReport(), "");
}

}  // namespace
}  // namespace kv27

// An independent check of a capture: Wireshark's own dissectors (tshark) read
// the capture of a whole simulated upgrade and must see what a person would
// see in Wireshark: every frame decoded, nothing malformed, the bootloader
// request once, the 448 HID exchanges with report id 0xB4 on the mouse and the
// bulk transfers of the upgrade on the bootloader. Skipped where tshark is not
// installed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "sim/usb_timing.h"
#include "tools/kv27m-update/update_tool.h"

namespace kv27 {
namespace {

std::string Shell(const std::string& command) {
  std::string out;
  if (FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r")) {
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) != 0) out.append(buffer, n);
    pclose(pipe);
  }
  return out;
}

std::vector<std::vector<std::string>> Rows(const std::string& text) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> cells;
    std::size_t from = 0;
    for (;;) {
      const auto tab = line.find('\t', from);
      cells.push_back(line.substr(from, tab == std::string::npos ? std::string::npos : tab - from));
      if (tab == std::string::npos) break;
      from = tab + 1;
    }
    rows.push_back(cells);
  }
  return rows;
}

class TsharkCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::system("command -v tshark >/dev/null 2>&1") != 0)
      GTEST_SKIP() << "tshark is not installed (scripts/install-deps.sh installs it: Debian's tshark); the Wireshark "
                      "check of a capture is skipped";
    path_ = (std::filesystem::temp_directory_path() / ("kv27-tshark-" + std::to_string(getpid()) + ".pcapng")).string();
    const std::string backup = path_ + ".kv27ud";
    UpdateToolIo io;
    io.out = [](const std::u16string&) {};
    io.err = [](const std::u16string&) {};
    io.timeStamp = [] { return std::u16string(u"1"); };
    const int status = RunUpdateTool({u"--simulate", u"--capture", std::u16string(path_.begin(), path_.end()),
                                      u"--backup", std::u16string(backup.begin(), backup.end())},
                                     io);
    std::filesystem::remove(backup);
    ASSERT_EQ(status, kUpdateOk);
  }
  void TearDown() override {
    if (!path_.empty()) std::filesystem::remove(path_);
  }
  std::string path_;
};

TEST_F(TsharkCheck, WiresharkSeesTheWholeUpgrade) {
  // Nothing malformed, no errors or warnings: only the capture's comments.
  const std::string expert = Shell("tshark -r '" + path_ + "' -q -z expert");
  EXPECT_EQ(expert.find("Malformed"), std::string::npos) << expert;
  EXPECT_EQ(expert.find("Errors ("), std::string::npos) << expert;
  EXPECT_EQ(expert.find("Warns ("), std::string::npos) << expert;

  const auto rows = Rows(Shell("tshark -r '" + path_ +
                               "' -T fields -e _ws.col.Protocol -e usb.transfer_type -e usb.endpoint_address"
                               " -e usb.device_address -e usb.irp_info.direction -e usb.control_stage -e usb.data_len"
                               " -e usb.DescriptorIndex -e usb.LanguageId -e usbhid.data.report_id -e usb.capdata"));
  ASSERT_GT(rows.size(), 1000u);
  std::size_t stringRequests = 0, hidOut = 0, hidIn = 0, reportIds = 0, bulk = 0, records = 0;
  std::map<std::string, std::size_t> hidDevices;
  for (const auto& r : rows) {
    ASSERT_EQ(r.size(), 11u);
    const std::string& protocol = r[0];
    if (protocol == "PCAPNG") {  // the program's own records
      ++records;
      continue;
    }
    // Every frame is a USB frame Wireshark took apart.
    ASSERT_TRUE(protocol == "USB" || protocol == "USBHID") << protocol;
    const bool in = (std::stoi(r[2], nullptr, 16) & 0x80) != 0;
    const bool completion = r[4] == "0x01";
    const bool hasData = !r[6].empty() && r[6] != "0";
    if (r[7] == "0xc3" && r[8] == "0x5d1a") ++stringRequests;
    if (r[1] == "0x01" && hasData) {
      EXPECT_EQ(r[9], "0xb4") << "an HID report without its report id";
      if (r[9] == "0xb4") ++reportIds;
      ++hidDevices[r[3]];
      if (!in && !completion) ++hidOut;
      if (in && completion) ++hidIn;
    }
    if (r[1] == "0x03" && !completion) ++bulk;
  }
  // run, mouse present, its two opens, its removal, bootloader arrival, its
  // open, end
  EXPECT_EQ(records, 8u);
  EXPECT_EQ(stringRequests, 1u);
  EXPECT_EQ(hidOut, 448u);
  EXPECT_EQ(hidIn, 448u);
  EXPECT_EQ(reportIds, 896u);
  EXPECT_EQ(hidDevices.size(), 1u) << "the HID reports belong to one device";
  EXPECT_EQ(bulk, sim::ComputeUpgradeFloor(sim::UsbTiming{}).bulkTransfers);

  // Every submission is answered by its completion (IRP ids match).
  const auto pairs = Rows(
      Shell("tshark -2 -r '" + path_ + "' -T fields -e frame.number -e usb.irp_info.direction -e usb.response_in"));
  std::size_t unanswered = 0, submissions = 0;
  for (const auto& r : pairs) {
    if (r.size() < 3 || r[1] != "0x00") continue;
    ++submissions;
    if (r[2].empty()) ++unanswered;
  }
  EXPECT_GT(submissions, 2000u);
  EXPECT_LE(unanswered, 1u) << "only a read still pending when the run ended may stay unanswered";
}

}  // namespace
}  // namespace kv27

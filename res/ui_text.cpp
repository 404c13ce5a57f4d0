#include "res/ui_text.h"

#include <algorithm>
#include <cctype>
#include <iterator>

#include "res/resource.h"

namespace kv27 {
namespace {

struct TextRow {
  unsigned id;
  const char16_t* chinese;
  const char16_t* english;
};

// The string table of res/KV27MFirmwareUpdate.rc, in id order. The Chinese
// texts are the program's own, unchanged; the English ones say the same.
constexpr TextRow kTexts[] = {
    {IDS_UPGRADE_SUCCESS, u"恭喜亲，在线升级成功！", u"Congratulations, the online upgrade succeeded!"},
    {IDS_MOUSE_ABSENT, u"请插入需要升级的USB设备！", u"Please plug in the USB device to be upgraded!"},
    {IDS_NO_IMAGE_PATH, u"请选择镜像文件！", u"Please choose an image file!"},
    {IDS_OUT_OF_MEMORY, u"申请内存失败！", u"Out of memory!"},
    {IDS_IMAGE_OPEN_FAILED, u"打开镜像文件失败！", u"Cannot open the image file!"},
    {IDS_HEADER_READ_FAILED, u"读镜像头失败！", u"Cannot read the image header!"},
    {IDS_INVALID_IMAGE, u"无效的镜像文件！", u"Invalid image file!"},
    {IDS_NOT_KV27_IMAGE, u"不是KV27镜像文件！", u"Not a KV27 image file!"},
    {IDS_WRONG_IMAGE_NAME, u"镜像名称错误！", u"Wrong image name!"},
    {IDS_WRONG_CHECKSUM, u"镜像CHECKSUM错误！", u"Image CHECKSUM error!"},
    {IDS_WRONG_LENGTH, u"镜像文件的长度错误！", u"Wrong image file length!"},
    {IDS_DECODE_INIT_FAILED, u"镜像解码初始化失败！", u"Cannot start decoding the image!"},
    {IDS_PAYLOAD_READ_FAILED, u"读镜像文件失败！", u"Cannot read the image file!"},
    {IDS_DECODE_VERIFY_FAILED, u"镜像解码验证失败！", u"The decoded image fails its check!"},
    {IDS_USER_DATA_FAILED, u"读取用户数据失败！", u"Cannot read the user data!"},
    {IDS_BOOTLOADER_NOT_FOUND, u"升级设备驱动安装失败！请重新插拔设备，之后重新执行升级程序！",
     u"The upgrade device's driver could not be installed! Unplug and replug the device, then run the upgrade again!"},
    {IDS_BOOTLOADER_OPEN_FAILED, u"升级设备打开失败！", u"Cannot open the upgrade device!"},
    {IDS_ERASE_FAILED, u"Flash擦除失败！", u"Flash erase failed!"},
    {IDS_WRITE_FAILED, u"Flash写失败！", u"Flash write failed!"},
    {IDS_READ_FAILED, u"Flash读失败！", u"Flash read failed!"},
    {IDS_COMPARE_FAILED, u"Flash数据校验失败！", u"Flash data check failed!"},
    {IDS_VERIFY_FAILED, u"Flash验证失败！", u"Flash verification failed!"},
    {IDS_PROTECT_FAILED, u"Flash读保护失败！", u"Flash read protection failed!"},
    {IDS_EXIT_FAILED, u"退出ISP模式失败！", u"Cannot leave ISP mode!"},
    {IDS_MOUSE_PORT_UNKNOWN, u"无法确定需要升级的USB设备所在的端口！请重新插拔设备，之后重新执行升级程序！",
     u"Cannot tell which USB port the device to be upgraded is on! Unplug and replug the device, then run the upgrade "
     u"again!"},
    {IDS_BACKUP_FAILED, u"备份用户数据失败！", u"Cannot back up the user data!"},
    {IDS_NO_BACKUP, u"未找到此设备的用户数据备份！\n将使用镜像文件中的默认设置升级，是否继续？",
     u"No backup of this device's user data was found!\nUpgrade with the default settings in the image file?"},
    {IDS_CAPTION, u"N4工程师鼠标固件升级软件 v1.0", u"N4 Engineer Mouse Firmware Upgrade v1.0"},
    {IDS_IMAGE_FILTER, u"Firmware Image (*.bimg)|*.bimg|", u"Firmware Image (*.bimg)|*.bimg|"},
    {IDS_COUNTDOWN, u"%ds", u"%ds"},
    {IDS_BACKUP_DAMAGED, u"此设备的用户数据备份已损坏：\n%s\n将使用镜像文件中的默认设置升级，是否继续？",
     u"This device's user data backup is damaged:\n%s\nUpgrade with the default settings in the image file?"},
    {IDS_OLDER_BACKUP, u"此设备最新的用户数据备份已损坏：\n%s\n将使用较早的备份升级：\n%s\n是否继续？",
     u"This device's newest user data backup is damaged:\n%s\nUpgrade with the older backup\n%s\ninstead?"},
};

}  // namespace

std::uint16_t LangIdOf(UiLanguage language) {
  return language == UiLanguage::Chinese ? kLangIdChinese : kLangIdEnglish;
}

UiLanguage LanguageOfLangId(std::uint16_t langId) {
  constexpr std::uint16_t kPrimaryChinese = 0x04;
  return (langId & 0x3FF) == kPrimaryChinese ? UiLanguage::Chinese : UiLanguage::English;
}

UiLanguage LanguageOfLocaleName(const std::string& locale) {
  // language[_territory][.codeset][@modifier]: only the language counts.
  const std::string language = locale.substr(0, locale.find_first_of("_.@"));
  std::string lower;
  for (char c : language) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lower == "zh" ? UiLanguage::Chinese : UiLanguage::English;
}

UiLanguage LanguageOfLocale(const char* lcAll, const char* lcMessages, const char* lang) {
  for (const char* value : {lcAll, lcMessages, lang}) {
    if (value != nullptr && value[0] != '\0') return LanguageOfLocaleName(value);
  }
  return UiLanguage::English;  // the POSIX locale
}

std::optional<UiLanguage> LanguageOption(const std::u16string& argument, bool& bad) {
  const std::u16string prefix = u"--lang=";
  if (argument.compare(0, prefix.size(), prefix) != 0) return std::nullopt;
  const std::u16string name = argument.substr(prefix.size());
  if (name == u"zh") return UiLanguage::Chinese;
  if (name == u"en") return UiLanguage::English;
  bad = true;
  return std::nullopt;
}

const char16_t* UiText(UiLanguage language, unsigned id) {
  const auto* row = std::find_if(std::begin(kTexts), std::end(kTexts), [id](const TextRow& r) { return r.id == id; });
  if (row == std::end(kTexts)) return nullptr;
  return language == UiLanguage::Chinese ? row->chinese : row->english;
}

std::vector<unsigned> UiTextIds() {
  std::vector<unsigned> ids;
  for (const TextRow& r : kTexts) ids.push_back(r.id);
  return ids;
}

}  // namespace kv27

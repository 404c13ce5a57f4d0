// What the main dialog's tests share: the texts the dialog shows without a
// run, and the bundled sample as a good flash carries it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/firmware_update_app.h"
#include "app/simulation.h"
#include "image/image.h"
#include "image/image_file.h"
#include "platform/device_path.h"
#include "res/compiled_resources.h"
#include "res/resource.h"
#include "res/ui_text.h"
#include "sim/hid_device.h"
#include "sim/resources.h"
#include "tests/support/backup_names.h"
#include "tests/support/program_run.h"
#include "tests/support/scenario_names.h"
#include "tests/support/upgrade_expectations.h"

namespace kv27 {
// The program's one application object, defined in main_dialog_test.cpp.
extern CKV27MFirmwareUpdateApp theApp;
}  // namespace kv27

namespace kv27::dialog_test {

using test::kAfterAnyRun;
using test::Percent;
using test::ProgramRun;
using test::ProgressAfter;
using test::View;

inline constexpr const char16_t* kCaption = test::kDialogCaption;
inline constexpr char16_t kChooseNoImage[] = u"请选择镜像文件！";
inline constexpr char16_t kPlugInMouse[] = u"请插入需要升级的USB设备！";

// The bundled sample, checked and descrambled: what a good flash carries.
inline ImageFileResult PlainSampleImage() {
  sim::World files;
  files.AddFile(u"C:\\x.bimg", SampleImageBytes());
  return LoadImageFile(files, u"C:\\x.bimg");
}

}  // namespace kv27::dialog_test

// The kepra tool's command line: parsing and dispatch to the commands.
//
//   kepra [-d INDEX] [--json] list | info | get SETTING | set SETTING VALUE
//         | profile save|load FILE | clone save FILE
//         | regs read ADDR | regs write ADDR VALUE | regs dump FIRST COUNT
//         | grab [-n N] [--depth 8|16] [-o PATTERN] [--no-save] [--debayer]
//         | flash read|write|dump [--whole] [-a ADDR] [-l LEN] [-f FILE]
//         | firmware update [--file F [--force]] | reset
//         | view [--listen HOST:PORT] [--record-dir DIR]
//
// Exit status: 0 ok, 1 an operation failed (the message names it and the last error),
// 2 usage error or bad value (nothing was sent to the camera), 3 no camera at the index,
// 130 a counted grab cut short by Ctrl-C (the frames grabbed are saved).
#include "cli.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <exception>
#include <sstream>

#include "tool.h"
#ifdef KEPRA_TOOL_VIEW
#include "view/view.h"
#endif

namespace kepra_tool {

int Run(int argc, const char* const argv[], std::FILE* out, std::FILE* err) {
  SetOutput(out, err);
  CLI::App app{
      "kepra: list, inspect, configure and grab from kepra cameras.\n"
      "Exit status: 0 ok, 1 operation failed, 2 usage error or bad value (nothing was changed), "
      "3 no camera, 130 a counted grab cut short by Ctrl-C."};
  app.require_subcommand(1);
  app.fallthrough();
  Options options;
  app.add_option("-d,--device", options.device, "device index of the camera (0..34)")
      ->capture_default_str();
  app.add_flag("--json", options.json, "print the result of a read command as JSON");

  auto* list = app.add_subcommand("list", "cameras present: index, model, size");
  auto* info = app.add_subcommand(
      "info", "identity, versions, driver check, USB speed, clock, frame and exposure limits");

  std::string setting, value;
  std::string names;
  for (const std::string& name : SettingNames()) names += "\n  " + name;
  auto* get = app.add_subcommand("get", "read a setting:" + names);
  get->add_option("setting", setting, "the setting")->required();
  auto* set =
      app.add_subcommand("set", "change a setting, then print what the camera took:" + names);
  set->add_option("setting", setting, "the setting")->required();
  set->add_option("value", value, "the new value")->required();

  auto* profile = app.add_subcommand(
      "profile", "every setting in a JSON file (the values as 'set' takes them), and back");
  profile->require_subcommand(1);
  std::string profile_file;
  auto* profile_save = profile->add_subcommand("save", "write the camera's settings to FILE");
  profile_save->add_option("file", profile_file, "profile file")->required();
  auto* profile_load = profile->add_subcommand(
      "load", "apply the settings of FILE (a profile of the same model), checked first");
  profile_load->add_option("file", profile_file, "profile file")->required();

  auto* clone = app.add_subcommand("clone", "a copy of the camera for kepra-virtcam --clone");
  clone->require_subcommand(1);
  std::string clone_file;
  auto* clone_save = clone->add_subcommand(
      "save", "record identity, versions, clock, frame parameters, registers and user flash");
  clone_save->add_option("file", clone_file, "clone file")->required();

  auto* regs = app.add_subcommand("regs", "sensor registers");
  regs->require_subcommand(1);
  std::string address, reg_value, count;
  auto* regs_read = regs->add_subcommand("read", "read one register");
  regs_read->add_option("address", address, "register address")->required();
  auto* regs_write = regs->add_subcommand("write", "write one register");
  regs_write->add_option("address", address, "register address")->required();
  regs_write->add_option("value", reg_value, "16-bit value")->required();
  auto* regs_dump = regs->add_subcommand("dump", "read a range of registers");
  regs_dump->add_option("first", address, "first register address")->required();
  regs_dump->add_option("count", count, "number of registers")->required();

  GrabOptions grab_options;
  auto* grab = app.add_subcommand(
      "grab",
      "grab frames into PNG or TIFF files, then print a summary (frames, rate achieved and "
      "configured, frames skipped by the camera and dropped for want of a buffer, files). "
      "Ctrl-C stops after the frame in hand; every grabbed frame is saved. Exit 130 when Ctrl-C "
      "cut a counted grab short");
  grab->add_option("-n,--count", grab_options.count, "number of frames; 0: until Ctrl-C")
      ->capture_default_str()
      ->check(CLI::Range(0u, 0xFFFFFFFFu));
  grab->add_option("--depth", grab_options.depth, "sample depth: 8 or 16")
      ->capture_default_str()
      ->check(CLI::IsMember({8u, 16u}));
  grab->add_option("-o,--output", grab_options.pattern,
                   "file name pattern ending in .png, .tif or .tiff; %d or %0Nd stands for the "
                   "frame number (needed for more than one frame)")
      ->capture_default_str();
  grab->add_flag("--no-save", grab_options.no_save, "grab without saving (to check the rate)");
  grab->add_flag("--debayer", grab_options.debayer,
                 "save the frames of a colour camera as RGB images (bilinear) instead of the raw "
                 "Bayer mosaic");
  // Frames always carry their record now (the summary counts the frames the camera lost);
  // the flag stays accepted for scripts that pass it.
  grab->add_flag("--ex")->group("");

  FlashOptions flash_options;
  auto* flash = app.add_subcommand(
      "flash", "the camera's flash: the user area, or with --whole all of it by flash address");
  flash->require_subcommand(1);
  auto add_flash_options = [&flash_options](CLI::App* command, bool with_length) {
    command->add_flag("--whole", flash_options.whole, "flash addresses instead of the user area");
    command->add_option("-a,--address", flash_options.address, "first address")
        ->capture_default_str();
    if (with_length) command->add_option("-l,--length", flash_options.length, "bytes");
  };
  auto* flash_read = flash->add_subcommand("read", "read a range into a file");
  add_flash_options(flash_read, true);
  flash_read->add_option("-f,--file", flash_options.file, "output file")->required();
  auto* flash_write = flash->add_subcommand("write", "write a file's content");
  add_flash_options(flash_write, false);
  flash_write->add_option("-f,--file", flash_options.file, "input file")->required();
  auto* flash_dump = flash->add_subcommand("dump", "print a range in hex (default 256 bytes)");
  add_flash_options(flash_dump, true);

  auto* firmware = app.add_subcommand("firmware", "camera firmware");
  firmware->require_subcommand(1);
  std::string firmware_file;
  auto* update = firmware->add_subcommand(
      "update", "write the firmware the library carries, or an image file, and verify it");
  update->add_option("--file", firmware_file,
                     "FX3 boot image to write instead (checked: signature, sections, checksum, "
                     "size)");
  bool force = false;
  update->add_flag("--force", force, "write an image file that fails the check");
  auto* reset = app.add_subcommand(
      "reset", "reset the camera (it restarts from its flash, as after an update)");

#ifdef KEPRA_TOOL_VIEW
  kepra_view::ViewOptions view_options;
  auto* view = app.add_subcommand("view", "live view, settings and statistics in a browser");
  view->add_option("--listen", view_options.listen, "HOST:PORT to serve the page on (port 0: any)")
      ->capture_default_str();
  view->add_option("--record-dir", view_options.record_dir, "folder for recordings")
      ->capture_default_str();
#endif

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    std::ostringstream out_text, err_text;
    const int status = app.exit(e, out_text, err_text);
    std::fputs(out_text.str().c_str(), Out());
    std::fputs(err_text.str().c_str(), Err());
    return status == 0 ? kExitOk : kExitUsage;
  }

  try {
    if (*list) return ListCameras(options);
    if (*info) return ShowInfo(options);
    if (*get) return GetSetting(options, setting);
    if (*set) return SetSetting(options, setting, value);
    if (*profile_save) return ProfileSave(options, profile_file);
    if (*profile_load) return ProfileLoad(options, profile_file);
    if (*clone_save) return CloneSave(options, clone_file);
    if (*regs_read) return RegsRead(options, address);
    if (*regs_write) return RegsWrite(options, address, reg_value);
    if (*regs_dump) return RegsDump(options, address, count);
    if (*grab) return Grab(options, grab_options);
    if (*flash_read) return FlashRead(options, flash_options);
    if (*flash_write) return FlashWrite(options, flash_options);
    if (*flash_dump) return FlashDump(options, flash_options);
    if (*update) return FirmwareUpdate(options, firmware_file, force);
    if (*reset) return DeviceReset(options);
#ifdef KEPRA_TOOL_VIEW
    if (*view) {
      view_options.device = options.device;
      return kepra_view::RunView(view_options);
    }
#endif
  } catch (const ToolError& e) {
    std::fprintf(Err(), "kepra: %s\n", e.what());
    return e.status;
  } catch (const kepra::Error& e) {
    std::fprintf(Err(), "kepra: %s\n", FailureMessage(e.function(), e.code()).c_str());
    return kExitFailed;
  } catch (const std::exception& e) {
    std::fprintf(Err(), "kepra: %s\n", e.what());
    return kExitFailed;
  }
  return kExitUsage;
}

}  // namespace kepra_tool

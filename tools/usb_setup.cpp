#include "tools/usb_setup.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/usb/config.h"
#include "tools/text.h"

extern char** environ;

namespace tavro::tool {
namespace {

namespace fs = std::filesystem;
namespace usb = platform::usb;

std::string hex4(uint16_t v) {
  char text[5];
  std::snprintf(text, sizeof text, "%04x", v);
  return text;
}

std::string idText(uint16_t vendor, uint16_t product) {
  return hex4(vendor) + ":" + hex4(product);
}

std::string interfaceList(const std::vector<int>& interfaces) {
  std::string out;
  for (int i : interfaces) out += (out.empty() ? "" : ",") + std::to_string(i);
  return out;
}

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// A word of usb.conf as given on the command line: nothing that would end the line or start
// a comment in the file.
bool plainWord(const std::string& word) {
  return !word.empty() && std::all_of(word.begin(), word.end(), [](unsigned char c) {
    return c > ' ' && c < 0x7f && c != '#';
  });
}

// A file below the root: `absolute` is the path on the system the root stands for.
fs::path below(const fs::path& root, const std::string& absolute) {
  return root / fs::path(absolute).relative_path();
}

std::string udevRule(const std::string& vendor, const std::string& product) {
  return "SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", ATTR{idVendor}==\"" + vendor +
         "\", ATTR{idProduct}==\"" + product +
         "\", TAG+=\"uaccess\", TAG+=\"systemd\", ENV{SYSTEMD_WANTS}+=\"tavrod.service\"";
}

// The lines of a text file, or none when it does not exist. False, with `error` set, when
// it cannot be read or is not a regular file.
bool readLines(const fs::path& path, std::vector<std::string>& lines, std::string& error) {
  std::error_code ec;
  const fs::file_status status = fs::symlink_status(path, ec);
  if (status.type() == fs::file_type::not_found) return true;
  if (status.type() != fs::file_type::regular) {
    error = path.string() + " is not a regular file";
    return false;
  }
  std::ifstream file(path);
  if (!file) {
    error = "cannot read " + path.string() + ": " + std::strerror(errno);
    return false;
  }
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  return true;
}

// Replaces the file at once (a reader sees the old or the new text, never a part), 0644.
bool writeFile(const fs::path& path, const std::vector<std::string>& lines, std::string& error) {
  std::error_code ec;
  fs::create_directories(path.parent_path(), ec);
  std::string temp = path.string() + ".XXXXXX";
  const int fd = mkstemp(temp.data());
  if (fd < 0) {
    error = "cannot write " + path.string() + ": " + std::strerror(errno);
    return false;
  }
  std::string text;
  for (const auto& line : lines) text += line + "\n";
  bool ok = fchmod(fd, 0644) == 0;
  for (size_t done = 0; ok && done < text.size();) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  ok = ok && fsync(fd) == 0;
  const int savedErrno = errno;
  ok = (::close(fd) == 0) && ok;
  if (ok && std::rename(temp.c_str(), path.c_str()) == 0) return true;
  error = "cannot write " + path.string() + ": " + std::strerror(ok ? errno : savedErrno);
  ::unlink(temp.c_str());
  return false;
}

// The first word of a usb.conf line, lower case.
std::string firstWord(const std::string& line) {
  std::istringstream words(line.substr(0, line.find('#')));
  std::string word;
  words >> word;
  return lower(word);
}

bool isComment(const std::string& line) {
  const auto first = line.find_first_not_of(" \t");
  return first == std::string::npos || line[first] == '#';
}

// Runs a program with its arguments, without a shell; true when it ran and exited with 0.
bool runProgram(std::vector<std::string> argv) {
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawnp(&pid, args[0], nullptr, nullptr, args.data(), environ) != 0) return false;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

std::vector<std::string> candidateLines(const std::vector<usb::SeenDevice>& seen) {
  std::vector<std::string> lines;
  for (const auto& d : seen) {
    if (d.boxShapedInterfaces.empty()) continue;
    const std::string id = idText(d.vendor, d.product);
    std::string line =
        d.path + "  " + id + "  interface " + interfaceList(d.boxShapedInterfaces) + "  ";
    if (!d.configured) {
      line += "not configured (tavro usb-setup " + id + ", as root)";
    } else if (!d.notABox.empty()) {
      line += "configured, but not a box as configured: " + d.notABox;
    } else {
      line += "configured";
    }
    lines.push_back(line);
  }
  if (lines.empty()) {
    lines.push_back(
        "no USB device has an interface shaped like a box (four bulk endpoints: IN, OUT, IN, "
        "OUT)");
  }
  return lines;
}

std::string candidatesJson(const std::vector<usb::SeenDevice>& seen) {
  std::string out = "{\"candidates\":[";
  bool first = true;
  for (const auto& d : seen) {
    if (d.boxShapedInterfaces.empty()) continue;
    out += first ? "" : ",";
    first = false;
    out += "{\"path\":" + jsonString(d.path) +
           ",\"id\":" + jsonString(idText(d.vendor, d.product)) + ",\"interfaces\":[" +
           interfaceList(d.boxShapedInterfaces) +
           "],\"configured\":" + (d.configured ? "true" : "false") +
           ",\"reason\":" + (d.configured && !d.notABox.empty() ? jsonString(d.notABox) : "null") +
           "}";
  }
  return out + "]}";
}

int runCandidates(bool json) {
  bool ok = false;
  const auto seen = usb::seeDevices(usb::loadUsbConfig(), &ok);
  if (!ok) {
    std::fprintf(stderr, "tavro: USB cannot be used here (libusb does not start)\n");
    return kExitFailed;
  }
  if (json) {
    std::printf("%s\n", candidatesJson(seen).c_str());
  } else {
    for (const auto& line : candidateLines(seen)) std::printf("%s\n", line.c_str());
  }
  const bool any = std::any_of(seen.begin(), seen.end(), [](const usb::SeenDevice& d) {
    return !d.boxShapedInterfaces.empty();
  });
  return any ? kExitOk : kExitNoBox;
}

int usbSetup(const UsbSetupRequest& request, std::string& out, std::string& err) {
  // The id and its options, read as usb.conf reads them.
  std::string line = lower(request.id);
  bool plain = plainWord(request.id);
  for (const auto& s : request.settings) {
    plain = plain && plainWord(s);
    line += " " + s;
  }
  usb::UsbConfig given;
  if (plain) usb::parseConfigFile(line, "", given);
  if (!plain || given.devices.size() != 1) {
    std::string why = "spaces, control characters and # have no place in the id or an option";
    if (!given.problems.empty()) why = given.problems[0].substr(given.problems[0].find(' ') + 1);
    err = "tavro: usb-setup: " + why +
          " (it takes vvvv:pppp and usb.conf options such as request=0x02)\n";
    return kExitUsage;
  }
  const usb::DeviceIdentity& id = given.devices[0];
  const std::string vendor = hex4(id.vendor);
  const std::string product = hex4(id.product);
  const std::string idWord = vendor + ":" + product;

  std::error_code ec;
  const fs::path root = request.root.empty() ? fs::path("/") : fs::path(request.root);
  if (!fs::is_directory(root, ec)) {
    err = "tavro: usb-setup: the root " + request.root + " is not a folder\n";
    return kExitUsage;
  }
  const bool systemRoot = fs::equivalent(root, "/", ec);
  if (systemRoot && geteuid() != 0) {
    err =
        "tavro: usb-setup writes the system's usb.conf and udev rules: run it as root (sudo "
        "tavro usb-setup " +
        line + (request.remove ? " --remove" : "") + ")\n";
    return kExitFile;
  }

  // Only a device that is here, and shaped like a box, is set up.
  std::string devicePath;
  if (!request.remove) {
    usb::UsbConfig only;
    only.devices.push_back(id);
    bool ok = false;
    const auto seen = usb::seeDevices(only, &ok);
    std::string notABox;
    for (const auto& d : seen) {
      if (d.vendor != id.vendor || d.product != id.product) continue;
      if (d.notABox.empty()) {
        devicePath = d.path;
        break;
      }
      notABox = d.path + " (" + idWord + ") is not shaped like a box: " + d.notABox;
    }
    if (devicePath.empty()) {
      if (!notABox.empty()) {
        err = "tavro: usb-setup: " + notABox +
              "; nothing written (docs/usb.md: what a box is, and the options interface= and "
              "endpoints=)\n";
        return kExitUsage;
      }
      err = "tavro: usb-setup: no USB device " + idWord +
            " is plugged in; nothing written. Plug the box in and run this again (`tavro "
            "devices --candidates` lists the devices shaped like a box)\n";
      return ok ? kExitNoBox : kExitFailed;
    }
  }

  // usb.conf: the id's line in place of an earlier one, or at the end.
  const fs::path conf = below(root, usb::configFilePath());
  std::vector<std::string> lines;
  std::string error;
  if (!readLines(conf, lines, error)) {
    err = "tavro: usb-setup: " + error + "\n";
    return kExitFile;
  }
  const size_t before = lines.size();
  std::erase_if(lines, [&](const std::string& l) { return firstWord(l) == idWord; });
  const bool wasThere = lines.size() != before;
  if (!request.remove) {
    if (lines.empty()) {
      lines.push_back(
          "# Telephone-line boxes on USB: one vvvv:pppp id a line, options after it "
          "(docs/usb.md)");
    }
    lines.push_back(line);
  }
  if ((wasThere || !request.remove) && !writeFile(conf, lines, error)) {
    err = "tavro: usb-setup: " + error + "\n";
    return kExitFile;
  }
  if (request.remove) {
    out += wasThere ? "removed " + idWord + " from " + conf.string() + "\n"
                    : idWord + " was not in " + conf.string() + "\n";
  } else {
    out += "wrote " + conf.string() + ": " + line + "\n";
  }

  // The udev rule.
  const fs::path rules = below(root, kUdevRulesFile);
  const std::string rule = udevRule(vendor, product);
  const std::string match =
      "ATTR{idVendor}==\"" + vendor + "\", ATTR{idProduct}==\"" + product + "\"";
  lines.clear();
  if (!readLines(rules, lines, error)) {
    err = "tavro: usb-setup: " + error + "\n";
    return kExitFile;
  }
  const size_t rulesBefore = lines.size();
  std::erase_if(lines, [&](const std::string& l) {
    return !isComment(l) && lower(l).find(lower(match)) != std::string::npos;
  });
  const bool ruleWasThere = lines.size() != rulesBefore;
  if (request.remove) {
    if (!ruleWasThere) {
      out += "no rule for " + idWord + " in " + rules.string() + "\n";
    } else if (std::all_of(lines.begin(), lines.end(), isComment)) {
      if (!fs::remove(rules, ec) && ec) {
        err = "tavro: usb-setup: cannot remove " + rules.string() + ": " + ec.message() + "\n";
        return kExitFile;
      }
      out += "removed " + rules.string() + " (it had the rule for " + idWord + " alone)\n";
    } else if (!writeFile(rules, lines, error)) {
      err = "tavro: usb-setup: " + error + "\n";
      return kExitFile;
    } else {
      out += "removed the rule for " + idWord + " from " + rules.string() + "\n";
    }
  } else {
    if (lines.empty()) {
      lines.push_back(
          "# Telephone-line boxes, written by `tavro usb-setup`: the user at the "
          "seat may use them.");
    }
    lines.push_back(rule);
    if (!writeFile(rules, lines, error)) {
      err = "tavro: usb-setup: " + error + "\n";
      return kExitFile;
    }
    out += "wrote " + rules.string() + ": " + rule + "\n";
  }

  // udev applies the rule at once where it runs; elsewhere (a container, another root)
  // there is nothing to reload.
  if (systemRoot && fs::exists("/run/udev/control", ec)) {
    if (runProgram({"udevadm", "control", "--reload"}) &&
        runProgram({"udevadm", "trigger", "--subsystem-match=usb",
                    "--attr-match=idVendor=" + vendor, "--attr-match=idProduct=" + product})) {
      out += "reloaded udev's rules and applied them to " + idWord + "\n";
    } else {
      out += "note: udevadm failed: replug the box for the rule to apply\n";
    }
  }
  if (!request.remove) {
    out += "check it with `tavro devices` as the user at the seat (" + devicePath + ")\n";
  }
  return kExitOk;
}

void addUsbSetupCommand(CLI::App& app, std::function<int(Session&)>& run) {
  auto request = std::make_shared<UsbSetupRequest>();
  CLI::App* cmd = app.add_subcommand(
      "usb-setup",
      "Set a box on USB up, as root: write its id (and usb.conf options such as request=0x02) "
      "into the installation's usb.conf and a udev rule that lets the user at the seat use "
      "it, then reload udev. The device must be plugged in and shaped like a box (`tavro "
      "devices --candidates`)");
  cmd->add_option("id", request->id,
                  "The box's vendor and product id, vvvv:pppp (as lsusb "
                  "prints it)")
      ->required();
  cmd->add_option("options", request->settings,
                  "usb.conf options for the box: interface=N, request=0xNN, "
                  "endpoints=a,b,c,d, detach=yes (docs/usb.md)");
  cmd->add_flag("--remove", request->remove, "Take the id and its rule out again");
  cmd->add_option("--root", request->root,
                  "Write below this folder instead of / (and do not reload udev)");
  cmd->callback([request, &run] {
    run = [request](Session&) {
      std::string out;
      std::string err;
      const int rc = usbSetup(*request, out, err);
      std::fputs(out.c_str(), stdout);
      std::fputs(err.c_str(), stderr);
      return rc;
    };
  });
}

}  // namespace tavro::tool

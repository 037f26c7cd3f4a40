#include "app/export.hpp"

#include <charconv>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string_view>

#include "io/export/export.hpp"
#include "magnet/windings_error.hpp"
#include "io/program/field_map_csv_reader.hpp"

namespace expcoil {
namespace {

constexpr const char* kProgram = "expcoil-export";

void print(std::FILE* stream, const std::string& text) { std::fputs(text.c_str(), stream); }

std::string help_text() {
  std::string text =
      "usage: expcoil-export FORMAT INPUT [OUTPUT] [options]\n"
      "\n"
      "Converts INPUT, a fieldmap_<name>.csv or windings_<name>.csv written by expcoil, into FORMAT.\n"
      "OUTPUT defaults to INPUT with the format's extension. Formats:\n";
  for (const ExportFormat& f : export_formats()) {
    std::string name(f.name);
    name.resize(12, ' ');
    text += "  " + name + std::string(f.summary) + "\n";
  }
  text +=
      "\n"
      "Options:\n"
      "  --opal-order=reader|documented  opal: y slowest, x, z fastest as OPAL's reader indexes (default),\n"
      "                                  or x slowest as its manual says\n"
      "  --bdsim-order=xyzt|tzyx         bdsim: x fastest (default) or z fastest (recent BDSIM only)\n"
      "  --join-tolerance=METRES         windings: ends this close are joined (default 1e-9)\n"
      "  --name=NAME                     makegrid: the coil group name (default: the magnet's name)\n"
      "  -h, --help                      this text; --version: the version\n"
      "\n"
      "Exit codes: 0 written; 1 the input was rejected or the output could not be written (nothing is left\n"
      "under OUTPUT); 2 a wrong command line.\n";
  return text;
}

struct Usage : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct CommandLine {
  std::vector<std::string> positional;
  ExportOptions options;
  bool help = false;
  bool opal_order_given = false;
};

CommandLine parse(const std::vector<std::string>& arguments) {
  CommandLine c;
  for (const std::string& a : arguments) {
    const std::string_view arg(a);
    const std::size_t equals = arg.find('=');
    const std::string_view key = arg.substr(0, equals);
    const std::string_view value =
        equals == std::string_view::npos ? std::string_view() : arg.substr(equals + 1);
    if (arg == "--help" || arg == "-h") {
      c.help = true;
    } else if (key == "--opal-order" && (value == "reader" || value == "documented")) {
      c.options.opal_order = value == "reader" ? OpalOrder::reader : OpalOrder::documented;
      c.opal_order_given = true;
    } else if (key == "--bdsim-order" && (value == "xyzt" || value == "tzyx")) {
      c.options.bdsim_order = value == "xyzt" ? BdsimOrder::xyzt : BdsimOrder::tzyx;
    } else if (key == "--join-tolerance" && !value.empty()) {
      double t = -1.0;
      const auto r = std::from_chars(value.data(), value.data() + value.size(), t);
      if (r.ec != std::errc() || r.ptr != value.data() + value.size() || !(t >= 0.0) || !(t < 1e300))
        throw Usage("--join-tolerance needs a length in metres >= 0, not '" + std::string(value) + "'");
      c.options.join_tolerance = t;
    } else if (key == "--name" && !value.empty()) {
      c.options.coil_name = std::string(value);
    } else if (arg.size() > 1 && arg[0] == '-') {
      throw Usage("unknown option or value '" + a + "'");
    } else {
      c.positional.push_back(a);
    }
  }
  if (!c.help && (c.positional.size() < 2 || c.positional.size() > 3))
    throw Usage("expected FORMAT INPUT [OUTPUT]");
  return c;
}

}  // namespace

int run_export(const std::vector<std::string>& arguments) {
  CommandLine command;
  std::string output;
  try {
    command = parse(arguments);
    if (command.help) {
      print(stdout, help_text());
      return 0;
    }
    const ExportFormat& format = export_format(command.positional[0]);
    const std::string& input = command.positional[1];
    // The extension depends on what the input holds (vtk: .vti or .vtp).
    const bool windings = csv_kind(input) == CsvKind::windings;
    const std::string_view extension = windings ? format.windings_extension : format.field_map_extension;
    if (extension.empty())
      throw Usage(std::string(format.name) + " holds " + (windings ? "field maps" : "windings") + ", and " +
                  input + " is a " + (windings ? "windings table" : "field map"));
    output = command.positional.size() == 3 ? command.positional[2] : export_default_path(input, extension);
    std::error_code ec;
    if (std::filesystem::equivalent(input, output, ec)) throw Usage("OUTPUT is the input file");
  } catch (const Usage& e) {
    print(stderr, std::string(kProgram) + ": " + e.what() + "\nTry 'expcoil-export --help'.\n");
    return 2;
  } catch (const FileFormatError& e) {  // an input that is not one of the program's tables
    print(stderr, std::string(e.what()) + "\n");
    return 1;
  } catch (const ReadError& e) {  // an input that cannot be read
    print(stderr, std::string(e.what()) + "\n");
    return 1;
  } catch (const InputError& e) {  // unknown format
    print(stderr, std::string(kProgram) + ": " + e.what() + "\nTry 'expcoil-export --help'.\n");
    return 2;
  } catch (const std::exception& e) {
    print(stderr, std::string(kProgram) + ": " + e.what() + "\n");
    return 1;
  }

  const std::string& input = command.positional[1];
  try {
    const ExportReport report = export_csv(input, command.positional[0], output, command.options);
    print(stdout, "wrote " + output +
                      (report.points > 0 ? " (" + std::to_string(report.points) + " points)\n"
                                         : " (" + std::to_string(report.loops) + " windings)\n"));
    for (const std::string& note : report.notes) print(stderr, "note: " + note + "\n");
    if (command.positional[0] == "opal" && !command.opal_order_given)
      print(stderr,
            "note: lines y slowest, x, z fastest, the order OPAL's 3DMagnetoStatic reader indexes; "
            "--opal-order=documented writes x slowest as OPAL's manual describes\n");
    return 0;
  } catch (const FileFormatError& e) {
    print(stderr, std::string(e.what()) + "\n");
  } catch (const ReadError& e) {
    print(stderr, std::string(e.what()) + "\n");
  } catch (const WriteError& e) {
    print(stderr, std::string(e.what()) + "\n");
  } catch (const InputError& e) {
    print(stderr, input + ": " + e.what() + "\n");
  } catch (const std::exception& e) {  // out of memory, or a fault of the program itself
    print(stderr, std::string(kProgram) + ": " + e.what() + "\n");
  }
  return 1;
}

}  // namespace expcoil

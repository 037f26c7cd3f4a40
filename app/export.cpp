#include "app/export.hpp"

#include <cstdio>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string_view>

#include "io/export/export.hpp"
#include "io/program/field_map_csv_reader.hpp"
#include "lib/errors.hpp"

namespace expcoil {
namespace {

constexpr const char* kProgram = "expcoil-export";

// A message as it is, but a NUL byte (from a line of the input) shown as \0 instead of ending it.
void print(std::FILE* stream, const std::string& text) {
  for (const char c : text) {
    if (c == '\0') {
      std::fputs("\\0", stream);
    } else {
      std::fputc(c, stream);
    }
  }
}

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
      "\nOptions:\n" + export_options_help() +
      "  -h, --help  this text; --version: the version\n"
      "\n"
      "INPUT may be a pipe or FIFO (<(command)); it is copied beside OUTPUT first.\n"
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
};

CommandLine parse(const std::vector<std::string>& arguments) {
  CommandLine c;
  for (const std::string& a : arguments) {
    if (a == "--help" || a == "-h") {
      c.help = true;
      continue;
    }
    try {
      if (set_export_option(c.options, a)) continue;
    } catch (const InputError& e) {
      throw Usage(e.what());
    }
    if (a.size() > 1 && a[0] == '-') throw Usage("unknown option or value '" + a + "'");
    c.positional.push_back(a);
  }
  if (!c.help && (c.positional.size() < 2 || c.positional.size() > 3))
    throw Usage("expected FORMAT INPUT [OUTPUT]");
  return c;
}

int fail(const std::string& message) {
  print(stderr, message + "\n");
  return 1;
}

// From its parts: what() ends at a NUL that the reason quotes.
int fail(const FileFormatError& e) {
  return fail(e.path() + (e.line() > 0 ? ":" + std::to_string(e.line()) : std::string()) + ": " + e.reason());
}

}  // namespace

int run_export(const std::vector<std::string>& arguments) {
  CommandLine command;
  std::string output;
  std::optional<ExportInput> input;
  try {
    command = parse(arguments);
    if (command.help) {
      print(stdout, help_text());
      return 0;
    }
    const ExportFormat& format = export_format(command.positional[0]);
    const std::string& name = command.positional[1];
    const bool explicit_output = command.positional.size() == 3;
    // Opened once, a pipe too: its kind decides the extension (vtk: .vti or .vtp).
    input.emplace(name, explicit_output ? command.positional[2] : name);
    const bool windings = input->kind() == CsvKind::windings;
    const std::string_view extension = windings ? format.windings_extension : format.field_map_extension;
    if (extension.empty())
      throw Usage(std::string(format.name) + " holds " + (windings ? "field maps" : "windings") + ", and " +
                  name + " is a " + (windings ? "windings table" : "field map"));
    output = explicit_output ? command.positional[2] : export_default_path(name, extension);
    std::error_code ec;
    if (std::filesystem::equivalent(name, output, ec)) throw Usage("OUTPUT is the input file");
  } catch (const Usage& e) {
    print(stderr, std::string(kProgram) + ": " + e.what() + "\nTry 'expcoil-export --help'.\n");
    return 2;
  } catch (const FileFormatError& e) {  // an input that is not one of the program's tables
    return fail(e);
  } catch (const ReadError& e) {  // an input that cannot be read
    return fail(e.what());
  } catch (const WriteError& e) {  // the copy of a piped input
    return fail(e.what());
  } catch (const InputError& e) {  // unknown format
    print(stderr, std::string(kProgram) + ": " + e.what() + "\nTry 'expcoil-export --help'.\n");
    return 2;
  } catch (const std::exception& e) {
    return fail(std::string(kProgram) + ": " + e.what());
  }

  try {
    const ExportReport report = export_csv(*input, command.positional[0], output, command.options);
    print(stdout, "wrote " + output +
                      (report.points > 0 ? " (" + std::to_string(report.points) + " points)\n"
                                         : " (" + std::to_string(report.loops) + " windings)\n"));
    for (const std::string& note : report.notes) print(stderr, "note: " + note + "\n");
    return 0;
  } catch (const FileFormatError& e) {
    return fail(e);
  } catch (const ReadError& e) {
    return fail(e.what());
  } catch (const WriteError& e) {
    return fail(e.what());
  } catch (const InputError& e) {
    return fail(input->path() + ": " + e.what());
  } catch (const std::exception& e) {  // out of memory, or a fault of the program itself
    return fail(std::string(kProgram) + ": " + e.what());
  }
}

}  // namespace expcoil

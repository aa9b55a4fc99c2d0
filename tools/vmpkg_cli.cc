// vmpkg's command line, read by CLI11: the commands, their options, help,
// --version and the exit codes of usage errors. CLI11 reports by exceptions;
// they end here.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "tools/audit.h"
#include "tools/check_report.h"
#include "tools/library_codec.h"
#include "tools/registry_report.h"
#include "tools/vmpkg.h"

#ifndef TAVIK_VERSION
#error "TAVIK_VERSION is set by tools/CMakeLists.txt"
#endif

namespace vmpkg {

namespace {

// An output file named by -o: standard output for "-" (the default).
class OutputFile {
 public:
  bool Open(const std::string& path, std::FILE* standard, std::FILE* err) {
    if (path.empty() || path == "-") {
      file_ = standard;
      return true;
    }
    owned_ = std::fopen(path.c_str(), "wb");
    if (owned_ == nullptr) {
      std::fprintf(err, "vmpkg: can't write %s\n", path.c_str());
      return false;
    }
    file_ = owned_;
    return true;
  }
  ~OutputFile() {
    if (owned_ != nullptr) std::fclose(owned_);
  }
  std::FILE* get() const { return file_; }

 private:
  std::FILE* file_ = nullptr;
  std::FILE* owned_ = nullptr;
};

void Usage(const std::string& message, std::FILE* err) {
  std::fprintf(err, "vmpkg: %s\nRun 'vmpkg help' for usage.\n",
               message.c_str());
}

}  // namespace

int Run(const std::vector<std::string>& arguments, std::FILE* in,
        std::FILE* out, std::FILE* err) {
  CLI::App app("Makes, inspects and checks library files of Tavik.", "vmpkg");
  app.require_subcommand(1);
  // The same on every system: "/x" is a path, never an option as CLI11
  // would take it on Windows by default.
  app.allow_windows_style_options(false);
  app.set_version_flag("--version", std::string("vmpkg ") + TAVIK_VERSION);
  app.footer(ExitCodesHelp());

  std::string library;
  std::string input;
  std::string output = "-";
  bool force = false;
  CLI::App* create = app.add_subcommand(
      "create",
      "Make LIB from JSON (FILE.json, or standard input for - or "
      "no FILE).");
  create->add_flag("--force", force, "replace an existing LIB");
  create->add_option("LIB", library, "the library file to make")->required();
  create->add_option("FILE.json", input, "the JSON document ('-': stdin)");

  CLI::App* dump =
      app.add_subcommand("dump", "Print LIB as the JSON document of create.");
  dump->add_option("LIB", library, "the library file")->required();
  dump->add_option("-o,--output", output, "where to write ('-': stdout)");

  CheckOptions check_options;
  RegisteredCheckOptions registered;
  bool check_registered = false, check_user = false, check_machine = false;
  CLI::App* check = app.add_subcommand(
      "check",
      "Show what Tavik -l [-r] LIB would change, asset by asset, without "
      "writing anything; with --registered, one line for each registered "
      "library.");
  check->add_flag("-r,--remove", check_options.remove,
                  "a run with -r: prune references that resolve to no file");
  check->add_flag("--json", check_options.json, "the report as JSON");
  check->add_flag("--strict", check_options.strict,
                  "exit 5 while references that resolve nowhere remain");
  CLI::Option* check_library_option =
      check->add_option("LIB", check_options.library, "the library file");
  check->add_option("-o,--output", output, "where to write ('-': stdout)");
  check->add_flag("--registered", check_registered,
                  "every library of the registered lists (the machine's and "
                  "the current user's, both views) instead of LIB");
  CLI::Option* check_user_option = check->add_flag(
      "-u,--user", check_user, "--registered: the current user's lists only");
  CLI::Option* check_machine_option = check->add_flag(
      "--machine", check_machine, "--registered: the machine's lists only");
  check_user_option->excludes(check_machine_option);
  CLI::Option* check_view_option =
      check
          ->add_option("--view", registered.view,
                       "--registered: the lists of one view only")
          ->check(CLI::IsMember({32, 64}));
  CLI::Option* check_jobs_option =
      check
          ->add_option("-j,--jobs", registered.jobs,
                       "--registered: libraries checked at once (default: "
                       "the number of cores)")
          ->check(CLI::Range(1, 1024));
  check->footer(RegisteredExitCodesHelp());

  bool refs_json = false;
  CLI::App* refs = app.add_subcommand(
      "refs",
      "One line per stored reference: asset, property, index, entry, "
      "whether it resolves, and to what.");
  refs->add_flag("--json", refs_json, "the references as JSON");
  refs->add_option("LIB", library, "the library file")->required();
  refs->add_option("-o,--output", output, "where to write ('-': stdout)");

  RegistryOptions registry_options;
  std::string action = "list";
  CLI::App* registry = app.add_subcommand(
      "registry",
      "The LibraryPaths lists of both registry views; check flags missing "
      "files, relative paths, duplicates, unreadable and unwritable hives.");
  registry->add_option("ACTION", action, "list (the default) or check")
      ->check(CLI::IsMember({"list", "check"}));
  registry->add_flag("-u,--user", registry_options.perUser,
                     "the current user's lists instead of the machine's");
  registry->add_option("--view", registry_options.view, "one view only")
      ->check(CLI::IsMember({32, 64}));
  registry->add_flag("--json", registry_options.json, "the lists as JSON");
  registry->add_flag("--paths", registry_options.paths,
                     "list: the distinct paths alone, one a line");
  registry->add_option("-o,--output", output, "where to write ('-': stdout)");

  std::string topic;
  CLI::App* help =
      app.add_subcommand("help", "Show the help of vmpkg or of COMMAND.");
  help->add_option("COMMAND", topic, "a command");

  if (arguments.empty()) {
    std::fputs(app.help().c_str(), err);
    return kExitUsage;
  }
  // CLI11 would only say that a command is required.
  const std::string& first = arguments.front();
  bool known = false;
  for (const CLI::App* sub : app.get_subcommands({})) {
    known = known || sub->get_name() == first;
  }
  if (!first.empty() && first[0] != '-' && !known) {
    Usage("unknown command '" + first + "'", err);
    return kExitUsage;
  }
  try {
    // CLI11 takes the arguments last first.
    app.parse(std::vector<std::string>(arguments.rbegin(), arguments.rend()));
  } catch (const CLI::CallForHelp&) {
    std::fputs(app.help().c_str(), out);
    return kExitOk;
  } catch (const CLI::CallForAllHelp&) {
    std::fputs(app.help("", CLI::AppFormatMode::All).c_str(), out);
    return kExitOk;
  } catch (const CLI::CallForVersion& e) {
    std::fprintf(out, "%s\n", e.what());
    return kExitOk;
  } catch (const CLI::ParseError& e) {
    Usage(e.what(), err);
    return kExitUsage;
  }

  try {
    if (help->parsed()) {
      if (topic.empty()) {
        // app.help() would show the help of the command parsed, "help".
        std::fputs(app.get_formatter()
                       ->make_help(&app, "vmpkg", CLI::AppFormatMode::Normal)
                       .c_str(),
                   out);
        return kExitOk;
      }
      for (CLI::App* sub : app.get_subcommands({})) {
        if (sub->get_name() == topic) {
          std::fputs(sub->help("vmpkg").c_str(), out);
          return kExitOk;
        }
      }
      Usage("no command " + topic, err);
      return kExitUsage;
    }
    if (create->parsed()) return Create(library, input, force, in, err);
    if (check->parsed()) {
      bool selects = check_user || check_machine ||
                     check_view_option->count() > 0 ||
                     check_jobs_option->count() > 0;
      // An empty LIB is a LIB: Tavik's refusal of it is what check shows.
      bool has_library = check_library_option->count() > 0;
      if (check_registered && has_library) {
        Usage(
            "check --registered checks the registered libraries; it takes "
            "no LIB",
            err);
        return kExitUsage;
      }
      if (!check_registered && selects) {
        Usage("-u, --machine, --view and -j go with check --registered", err);
        return kExitUsage;
      }
      if (!check_registered && !has_library) {
        Usage("check needs LIB, or --registered", err);
        return kExitUsage;
      }
      if (check_registered) {
        registered.remove = check_options.remove;
        registered.strict = check_options.strict;
        registered.json = check_options.json;
        registered.machine = !check_user;
        registered.user = !check_machine;
        // Written only once the report is whole.
        registered.output = output;
        return CheckRegistered(registered, out, err);
      }
    }
    if (registry->parsed() && registry_options.paths) {
      if (action != "list") {
        Usage("--paths goes with registry list, not check", err);
        return kExitUsage;
      }
      if (registry_options.json) {
        Usage("--paths lists the paths as text; it does not go with --json",
              err);
        return kExitUsage;
      }
    }

    OutputFile file;
    if (!file.Open(output, out, err)) return kExitFailed;
    if (dump->parsed()) return Dump(library, file.get(), err);
    if (check->parsed()) return Check(check_options, file.get(), err);
    if (refs->parsed()) return Refs(library, refs_json, file.get(), err);
    if (registry->parsed()) {
      registry_options.check = action == "check";
      return RegistryReport(registry_options, file.get(), err);
    }
  } catch (const std::exception& e) {
    // Nothing below is expected to throw; a JSON library surprise (or
    // memory running out) still ends with a message, not an abort.
    std::fprintf(err, "vmpkg: internal error: %s\n", e.what());
    return kExitFailed;
  }
  Usage("no command", err);
  return kExitUsage;
}

}  // namespace vmpkg

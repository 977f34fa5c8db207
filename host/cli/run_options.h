// zolhost run's command line: its --tty paths, the link's options for all of them,
// and the program, which with its arguments is set apart before the rest is parsed.
#pragma once

#include <CLI/CLI.hpp>

#include <string>
#include <vector>

#include "host/cli/option_values.h"
#include "host/run/run_program.h"

namespace zolhost {

struct Options;

struct RunOptionSet {
    LinkOptionSet link;
};

// Adds `run` to the app over *o.
CLI::App* AddRunCommand(CLI::App& app, Options* o, RunOptionSet* set);

// When *args (the arguments after the program's name) hold the run command: the
// program and its arguments, from the first argument after run that is neither an
// option nor an option's value (or from after --), moved out of *args into
// *program, so that nothing of them is taken for zolhost's.
void SetProgramApart(const CLI::App& app, const CLI::App& run, std::vector<std::string>* args,
                     std::vector<std::string>* program);

// After the parse: run's options checked and taken into *o. false with *error.
bool TakeRunOptions(const RunOptionSet& set, Options* o, std::string* error);

RunConfig RunConfigOf(const Options& o);

}  // namespace zolhost

#pragma once

#include <CLI/CLI.hpp>

#include "app/cli/cli_context.hpp"

namespace folium::app {

// The connection window's operations for people without a display: import, list, refresh,
// repair, open, disconnect, reconcile, search. They run the window's own view models and
// print its French status lines.
void addConnectionCommands(CLI::App& app, CliContext& context);

}  // namespace folium::app

#pragma once

#include <CLI/CLI.hpp>

#include "app/cli/cli_context.hpp"

namespace folium::app {

// `domains …`: the drive service's list of drives, one manager call each.
void addDomainsCommands(CLI::App& app, CliContext& context);
// `status`, `pin PATH`, `unpin PATH`: how the drives are doing, and what they keep offline.
void addStatusCommands(CLI::App& app, CliContext& context);

}  // namespace folium::app

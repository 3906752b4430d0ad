#include <iostream>

#include "app/cli/cli_context.hpp"
#include "app/cli/connection_commands.hpp"
#include "app/cli/service_commands.hpp"

int main(int argc, char** argv) {
  using folium::app::CliContext;
  CLI::App app{"foliumctl: scripts' and debuggers' way into Folium", "foliumctl"};
  app.require_subcommand(1);
  CliContext context;
  CLI::Option* profile =
      app.add_option("--profile", context.profilePath,
                     "read the instance from a .foliumprofile file")
          ->each([&context](const std::string&) { context.profileGiven = true; });
  // Naming two instances at once is wrong usage, whatever the command.
  app.add_option("--domain", context.domain, "use the profile stored under this domain identifier")
      ->each([&context](const std::string&) { context.domainGiven = true; })
      ->excludes(profile);

  folium::app::addApiCommands(app, context);
  folium::app::addStoreCommands(app, context);
  folium::app::addFpCommands(app, context);
  folium::app::addDomainsCommands(app, context);
  folium::app::addStatusCommands(app, context);
  folium::app::addConnectionCommands(app, context);

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return 2;
  } catch (...) {
    std::cout.flush();
    std::cerr << "foliumctl: " << folium::app::describeFailure(std::current_exception()) << '\n';
    return 1;
  }
  // Output that never reached its file (a full disk) is a failure, not a success.
  if (!std::cout.flush()) {
    std::cerr << "foliumctl: cannot write to standard output\n";
    return 1;
  }
  return context.exitCode;
}

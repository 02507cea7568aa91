// velkaris-settings: lists, reads and changes the service's settings (see settings_command.cpp
// for the command line). Like the service, it works from its own directory, so that on Linux it
// finds the registry store in ..\state\ next to it (VELKARIS_REGISTRY_DB says otherwise).
#include <iostream>

#include "platform/process_paths.h"
#include "settings/settings_command.h"
#include "settings/utf8_arguments.h"
#include "sim/simulation_provider.h"

int main(int argc, char** argv) {
    useSimulationImages();
    std::vector<std::string> args = settings::utf8Arguments(argc, argv);
    std::string directory = platform::executableDirectory();
    if (!directory.empty()) platform::setCurrentDirectory(directory);
    return settings::runSettings(args, std::cout, std::cerr);
}

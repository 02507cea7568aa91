// velkaris-report: figures and cluster-map pictures of volume dumps.
#include <iostream>
#include <string>
#include <vector>

#include "report/report_command.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    return report::runReport(args, std::cout, std::cerr);
}

#include "CommandLine.h"

#include <iostream>
#include <string>

int main(int argc, char** argv) {
    std::string configurationPath = quillmark::kDefaultConfigurationFile;
    quillmark::parseArgs(argc, argv, configurationPath);
    if (configurationPath.empty()) {
        std::cout << "Failure...please provide a config file." << std::endl;
        return 0;
    }
    return 0;
}

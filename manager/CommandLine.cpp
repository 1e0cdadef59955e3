#include "CommandLine.h"

#include <cstdlib>
#include <iostream>

namespace quillmark {

const LongOption kLongOptions[] = {
    {"config", LongOption::kRequiredArgument, nullptr, 'c'},
    {"help", LongOption::kNoArgument, nullptr, 'h'},
    {"version", LongOption::kNoArgument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

namespace {

// Each option line: a tab, the option column padded to 32 characters, the description.
const char kHelpText[] =
    "\n"
    "Quillmark Agent Manager Options:\n"
    "\n"
    "\t--version -V                    show version number\n"
    "\t--help   -h                     display this help\n"
    "\t--config -c <config-file-name>  provide name of the configuration file";

}  // namespace

void printVersion() { std::cout << "Version:" << kVersionText << std::endl; }

void printHelp() { std::cout << kHelpText << std::endl; }

void printUsage() {
    std::cout << "\nQuillmark Agent Manager Usage: "
              << "[-c <config-file-name>]" << std::endl;
}

void parseArgs(int argc, char** argv, std::string& configurationPath) {
    optind = 0;
    int option;
    while ((option = getopt_long(argc, argv, kShortOptions, kLongOptions, nullptr)) != -1) {
        switch (option) {
        case 'c': configurationPath = optarg != nullptr ? optarg : ""; break;
        case 'h': printHelp(); std::exit(-1);
        case 'V': printVersion(); std::exit(-1);
        default: printUsage(); break;
        }
    }
}

}  // namespace quillmark

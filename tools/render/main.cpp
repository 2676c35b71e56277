// kelo-render: see render.h and --help.
#include <cstdio>
#include <iostream>
#include <string>
#include <unistd.h>

#include "tools/render/render.h"

int main(int argc, char** argv) {
    RenderOptions options;
    std::string error;
    if (!ParseRenderArgs(argc, argv, KELO_DEFAULT_PLUGIN, options, error)) {
        std::cerr << "kelo-render: " << error << "\n(kelo-render --help for usage)\n";
        return 2;
    }
    if (options.help) {
        std::cout << RenderUsage();
        return 0;
    }
    // The progress bar only makes sense on a terminal.
    return RunRender(options, std::cout, std::cerr, isatty(STDERR_FILENO) != 0);
}

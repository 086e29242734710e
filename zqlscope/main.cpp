// zqlscope: a command-line program that drives a Zelqa oscilloscope through
// zqlusb's public interface.
#include "commands.h"

int main(int argc, char **argv) {
    return zqlscope::RunCommandLine(zqlscope::Words(argv + 1, argv + argc));
}

// The tool: command line, set-up order, the conversion run and its statistics.
#pragma once

int tool_main(int argc, char** argv);

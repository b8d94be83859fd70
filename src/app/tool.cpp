// Entry point flow of the tool (being built up).
#include "app/tool.h"

int tool_main(int, char**) { return 0; }

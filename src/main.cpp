// Program entry only: the tool does the rest.
#include "app/tool.h"

int main(int argc, char** argv) { return tool_main(argc, argv); }

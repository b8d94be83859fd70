// The table of exit statuses. The README's table and the man page's EXIT STATUS section carry
// the same sentences (with formatting); a test keeps the three equal.
#include "app/exit_status.h"

namespace {

constexpr ExitStatusMeaning TABLE[] = {
    {0, "every input converted (also after --help and --version)"},
    {1, "an input was missing, or the given password file could not be opened, read or parsed"},
    {2, "an encrypted file had no password, or could not be decrypted"},
    {4, "a compressed file could not be decompressed"},
    {8, "any other conversion failure (including output that could not be written)"},
    {129,
     "an input was neither file nor folder, or an input, a folder below it or an entry of such a "
     "folder could not be queried, opened or listed (the path is logged)"},
    {130, "an option lacks its argument"},
    {131, "an option argument is invalid (for example --verbosity outside 0 to 5)"},
    {132, "the inputs do not lie in one common folder"},
    {134,
     "any other command-line error: no input given, an unknown option, a DBC file given on the "
     "command line that cannot be opened or is a folder (the errors are printed)"},
    {136,
     "set-up failed: no DBC file given or found, the output directory is not an existing "
     "directory, the input folder cannot be opened, a DBC file cannot be loaded, another run is "
     "converting into the same output folder, or the journal cannot be written there (the cause "
     "is logged)"},
};

}  // namespace

std::span<const ExitStatusMeaning> exit_status_table() { return TABLE; }

void print_exit_statuses(FILE* out) {
  fprintf(out, "\nExit status:\n");
  for (const ExitStatusMeaning& row : TABLE) fprintf(out, "  %-5d %s\n", row.status, row.meaning);
}

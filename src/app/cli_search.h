#pragma once
// `mardo-cli search`: the search controller behind a console stand-in for the window.
namespace mardo {

// Runs one search and prints the rows; as a table, or one JSON object per row.
int run_cli_search(bool json);

}  // namespace mardo

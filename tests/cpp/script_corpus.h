// The corpus of scripts with their expected output (tests/scripts, format in its README, and the examples):
// read from the source tree, for the driver that checks each script and for the differential check.
#pragma once

#include <string>
#include <vector>

namespace tarnwick::testing {

struct CorpusScript {
  std::string name;     // "area_file" (a test name)
  std::string path;
  std::string source;
  std::string printed;  // what the script must print, every line ending in a newline
  std::string error;    // the text the run must end with ("Runtime error: ..."), empty when it must succeed
};

// Every script of the corpus and every example, sorted by path.
std::vector<CorpusScript> corpus_scripts();

}  // namespace tarnwick::testing

// SPDX-License-Identifier: Apache-2.0
// morvix-gen: writes or sends the sample stream of generated frames, or
// replays a raw sample file over UDP. gen_options.cc lists the options.
#include "tools/gen/gen_options.h"
#include "tools/gen/generate.h"
#include "tools/gen/sample_sink.h"
#include "tools/tool_args.h"

int main(int argc, char** argv) {
  using namespace morvix::gen;
  morvix::tool::set_program("morvix-gen");
  const Options options = parse_options(argc, argv);
  Sink sink(options);
  if (options.replay.empty()) {
    generate(options, sink);
  } else {
    replay(options, sink);
  }
  sink.finish();
  return 0;
}

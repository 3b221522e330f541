// feed_wav: WAV files through Parlivo's audio front end, the worker's frames on standard output.
//   feed_wav --linger 20 speech.wav | python3 -u worker/worker.py
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/feed_wav/feeder.h"
#include "tools/feed_wav/wav_reader.h"

int main(int argc, char** argv) {
  using namespace colloquor;
  // A reader that ends early must show as a failed write, not kill the program mid-frame.
  std::signal(SIGPIPE, SIG_IGN);

  const ParsedArguments parsed =
      parse_feed_arguments(std::vector<std::string>(argv + 1, argv + argc));
  if (parsed.help) {
    std::fputs(feed_usage().c_str(), stderr);
    return 0;
  }
  if (!parsed.ok) {
    std::fprintf(stderr, "feed_wav: %s\n%s", parsed.error.c_str(), feed_usage().c_str());
    return 2;
  }

  const auto& payload = parsed.options.options_payload;
  if (payload && std::count(payload->begin(), payload->end(), '|') < 4) {
    // Sent as asked (it may be a test of the worker), but the user should know it is inert.
    std::fprintf(stderr,
                 "feed_wav: warning: the options text \"%s\" has fewer than five |-separated "
                 "fields; the worker ignores it\n",
                 payload->c_str());
  }

  std::vector<std::int16_t> channels[2];
  for (std::size_t i = 0; i < parsed.options.files.size(); ++i) {
    WavAudio wav = read_wav_file(parsed.options.files[i]);
    if (!wav.ok) {
      std::fprintf(stderr, "feed_wav: %s\n", wav.error.c_str());
      return 2;
    }
    channels[i] = std::move(wav.samples);
  }

  const FeedSummary summary =
      run_feed(parsed.options, channels[0], channels[1], standard_feed_io());
  std::fprintf(stderr, "%s\n", summary_line(summary).c_str());
  return summary.output_failed ? 1 : 0;
}

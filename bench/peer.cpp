// hopwarbler_peer: stretches a raw float32 file with one of the peer libraries, so that the Java
// quality benchmarks can run the peers on exactly the signals they give our library.
//
//   hopwarbler_peer --engine rb-finer|rb-faster|soundtouch --rate HZ --channels 1|2
//       --in IN.f32 --out OUT.f32 (--speed S | --schedule FRAME:SPEED[,FRAME:SPEED...])
//       [--pitch SEMITONES] [--block FRAMES] [--formants keep|shift]
//
// IN and OUT hold interleaved little-endian float32 at full scale 1.0. The Rubber Band engines run
// in real-time mode without threads, with --formants keep their formant option on (SoundTouch has
// none and refuses it); SoundTouch changes its tempo. The schedule changes the speed
// when the given input frame is reached (the first entry is frame 0); the input is fed in blocks
// of --block frames (1024 by default), split where the speed changes. The output is trimmed of the
// peer's start delay and carries the tail (Rubber Band's pushed out by silence and cut at input /
// speed, SoundTouch's flushed), so output frame n lines up with input frame n * speed. One line
// goes to stdout: "cpu_seconds=X frames_in=N frames_out=M frames_due=D", X being the process CPU
// time spent in the peer's calls (set-up excluded) and D the output frames the schedule asks for.
#include <SoundTouch.h>
#include <rubberband/RubberBandStretcher.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

struct Change {
  long frame;
  double speed;
};

struct Args {
  std::string engine, in, out;
  int rate = 0, channels = 0, block = 1024;
  double pitchSemitones = 0;
  bool formantsKept = false;
  std::vector<Change> schedule;
};

[[noreturn]] void usage(const std::string& why) {
  std::fprintf(stderr, "hopwarbler_peer: %s\n", why.c_str());
  std::exit(2);
}

std::vector<Change> parseSchedule(const std::string& text) {
  std::vector<Change> changes;
  std::stringstream items(text);
  std::string item;
  while (std::getline(items, item, ',')) {
    const size_t colon = item.find(':');
    if (colon == std::string::npos) usage("schedule entry without ':' : " + item);
    changes.push_back({std::stol(item.substr(0, colon)), std::stod(item.substr(colon + 1))});
  }
  if (changes.empty() || changes[0].frame != 0) usage("the schedule must start at frame 0");
  for (size_t i = 0; i < changes.size(); i++) {
    if (!(changes[i].speed > 0) || (i > 0 && changes[i].frame <= changes[i - 1].frame))
      usage("schedule frames must increase and speeds be above 0");
  }
  return changes;
}

Args parse(int argc, char** argv) {
  Args a;
  for (int i = 1; i < argc; i++) {
    const std::string key = argv[i];
    if (i + 1 >= argc) usage("missing value after " + key);
    const std::string value = argv[++i];
    if (key == "--engine")
      a.engine = value;
    else if (key == "--rate")
      a.rate = std::stoi(value);
    else if (key == "--channels")
      a.channels = std::stoi(value);
    else if (key == "--in")
      a.in = value;
    else if (key == "--out")
      a.out = value;
    else if (key == "--speed")
      a.schedule = parseSchedule("0:" + value);
    else if (key == "--schedule")
      a.schedule = parseSchedule(value);
    else if (key == "--pitch")
      a.pitchSemitones = std::stod(value);
    else if (key == "--formants" && (value == "keep" || value == "shift"))
      a.formantsKept = value == "keep";
    else if (key == "--block")
      a.block = std::stoi(value);
    else
      usage("unknown option " + key);
  }
  if (a.engine.empty() || a.in.empty() || a.out.empty() || a.schedule.empty())
    usage("--engine, --in, --out and --speed or --schedule are needed");
  if (a.rate <= 0 || (a.channels != 1 && a.channels != 2) || a.block <= 0)
    usage("bad --rate, --channels or --block");
  return a;
}

std::vector<float> readRaw(const std::string& path) {
  std::ifstream file(path, std::ios::binary | std::ios::ate);
  if (!file) usage("cannot read " + path);
  std::vector<float> data(static_cast<size_t>(file.tellg()) / sizeof(float));
  file.seekg(0);
  file.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(data.size() * 4));
  return data;
}

double cpuSeconds() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// The speed in force at input frame `frame`.
double speedAt(const std::vector<Change>& schedule, long frame) {
  double speed = schedule[0].speed;
  for (const Change& c : schedule)
    if (c.frame <= frame) speed = c.speed;
  return speed;
}

// The first frame after `frame` at which the speed changes, or `end`.
long nextChange(const std::vector<Change>& schedule, long frame, long end) {
  for (const Change& c : schedule)
    if (c.frame > frame) return std::min(c.frame, end);
  return end;
}

// The output frames owed for input frames [0, frames) under the schedule.
double dueFrames(const std::vector<Change>& schedule, long frames) {
  double due = 0;
  for (long at = 0; at < frames;) {
    const long next = nextChange(schedule, at, frames);
    due += static_cast<double>(next - at) / speedAt(schedule, at);
    at = next;
  }
  return due;
}

class Peer {
 public:
  virtual ~Peer() = default;
  virtual void setSpeed(double speed) = 0;
  // Feeds `frames` interleaved frames (or ends the stream when `last`) and appends the output.
  virtual void feed(const float* interleaved, long frames, bool last, std::vector<float>& out) = 0;
};

class RubberBandPeer final : public Peer {
 public:
  RubberBandPeer(const Args& a, bool finer)
      : channels_(a.channels),
        rb_(static_cast<size_t>(a.rate), static_cast<size_t>(a.channels),
            RubberBand::RubberBandStretcher::OptionProcessRealTime |
                RubberBand::RubberBandStretcher::OptionThreadingNever |
                (finer ? RubberBand::RubberBandStretcher::OptionEngineFiner
                       : RubberBand::RubberBandStretcher::OptionEngineFaster) |
                (a.formantsKept ? RubberBand::RubberBandStretcher::OptionFormantPreserved
                                : RubberBand::RubberBandStretcher::OptionFormantShifted),
            1.0 / a.schedule[0].speed, std::pow(2.0, a.pitchSemitones / 12.0)) {
    rb_.setMaxProcessSize(static_cast<size_t>(a.block));
    planar_.assign(channels_, std::vector<float>(static_cast<size_t>(a.block)));
    toSkip_ = static_cast<long>(rb_.getStartDelay());
  }

  // Feeds the zeros the engine asks for before the first frame; their output is part of the start
  // delay that is trimmed.
  void prime(std::vector<float>& out) {
    const std::vector<float> zeros(rb_.getPreferredStartPad() * channels_);
    for (size_t at = 0; at < zeros.size() / channels_;) {
      const long n = std::min<long>(static_cast<long>(zeros.size() / channels_ - at),
                                    static_cast<long>(planar_[0].size()));
      feed(zeros.data() + at * channels_, n, false, out);
      at += static_cast<size_t>(n);
    }
  }

  void setSpeed(double speed) override { rb_.setTimeRatio(1.0 / speed); }

  void feed(const float* interleaved, long frames, bool last, std::vector<float>& out) override {
    const float* in[2];
    for (int c = 0; c < channels_; c++) {
      for (long i = 0; i < frames; i++) planar_[c][i] = interleaved[i * channels_ + c];
      in[c] = planar_[c].data();
    }
    rb_.process(in, static_cast<size_t>(frames), last);
    drain(out);
  }

  void drain(std::vector<float>& out) {
    int available;
    while ((available = rb_.available()) > 0) {
      const size_t n = std::min<size_t>(static_cast<size_t>(available), planar_[0].size());
      float* dst[2] = {planar_[0].data(), channels_ > 1 ? planar_[1].data() : nullptr};
      const size_t got = rb_.retrieve(dst, n);
      for (size_t i = 0; i < got; i++) {
        if (toSkip_ > 0) {
          toSkip_--;
          continue;
        }
        for (int c = 0; c < channels_; c++) out.push_back(planar_[c][i]);
      }
    }
  }

 private:
  int channels_;
  RubberBand::RubberBandStretcher rb_;
  std::vector<std::vector<float>> planar_;
  long toSkip_;
};

class SoundTouchPeer final : public Peer {
 public:
  explicit SoundTouchPeer(const Args& a) : channels_(a.channels), buffer_(16384 * a.channels) {
    st_.setSampleRate(static_cast<unsigned>(a.rate));
    st_.setChannels(static_cast<unsigned>(a.channels));
    st_.setPitchSemiTones(a.pitchSemitones);
    st_.setTempo(a.schedule[0].speed);
  }

  void setSpeed(double speed) override { st_.setTempo(speed); }

  void feed(const float* interleaved, long frames, bool last, std::vector<float>& out) override {
    if (frames > 0) st_.putSamples(interleaved, static_cast<unsigned>(frames));
    if (last) st_.flush();
    unsigned n;
    while ((n = st_.receiveSamples(buffer_.data(), 16384)) > 0)
      out.insert(out.end(), buffer_.begin(), buffer_.begin() + n * channels_);
  }

 private:
  int channels_;
  soundtouch::SoundTouch st_;
  std::vector<float> buffer_;
};

}  // namespace

int main(int argc, char** argv) {
  const Args a = parse(argc, argv);
  const std::vector<float> input = readRaw(a.in);
  const long frames = static_cast<long>(input.size()) / a.channels;

  std::unique_ptr<Peer> peer;
  std::vector<float> out;
  out.reserve(static_cast<size_t>(dueFrames(a.schedule, frames) + 1e5) * a.channels);
  double cpu = 0;
  if (a.engine == "rb-finer" || a.engine == "rb-faster") {
    auto rb = std::make_unique<RubberBandPeer>(a, a.engine == "rb-finer");
    const double start = cpuSeconds();
    rb->prime(out);
    cpu += cpuSeconds() - start;
    peer = std::move(rb);
  } else if (a.engine == "soundtouch") {
    if (a.formantsKept) usage("soundtouch has no formant option");
    peer = std::make_unique<SoundTouchPeer>(a);
  } else {
    usage("unknown engine " + a.engine);
  }

  const double start = cpuSeconds();
  for (long at = 0; at < frames;) {
    const long end = std::min(nextChange(a.schedule, at, frames), at + a.block);
    peer->setSpeed(speedAt(a.schedule, at));
    peer->feed(input.data() + at * a.channels, end - at, false, out);
    at = end;
  }
  // Ending the stream. SoundTouch flushes what it holds. Rubber Band in real-time mode still holds
  // its start delay's worth of output, which a player gets by feeding silence: the runner feeds
  // silence (up to two seconds) until the output is as long as the schedule asks, and cuts it
  // there.
  const long due = std::lround(dueFrames(a.schedule, frames));
  if (a.engine == "soundtouch") {
    peer->feed(input.data(), 0, true, out);
  } else {
    const std::vector<float> silence(static_cast<size_t>(a.block) * a.channels);
    for (long fed = 0; static_cast<long>(out.size()) / a.channels < due && fed < 2L * a.rate;
         fed += a.block)
      peer->feed(silence.data(), a.block, false, out);
    out.resize(std::min(out.size(), static_cast<size_t>(due) * a.channels));
  }
  cpu += cpuSeconds() - start;

  std::ofstream file(a.out, std::ios::binary);
  file.write(reinterpret_cast<const char*>(out.data()),
             static_cast<std::streamsize>(out.size() * sizeof(float)));
  if (!file) usage("cannot write " + a.out);
  std::printf("cpu_seconds=%.6f frames_in=%ld frames_out=%ld frames_due=%ld\n", cpu, frames,
              static_cast<long>(out.size()) / a.channels, due);
  return 0;
}

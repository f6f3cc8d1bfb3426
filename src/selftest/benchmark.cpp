#include "selftest/benchmark.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>

#include "install/replace_item.h"
#include "platform/error.h"
#include "platform/fs.h"
#include "platform/removal.h"
#include "selftest/attached_image.h"
#include "selftest/programs.h"
#include "selftest/sample_bundle.h"
#include "selftest/system_facts.h"
#include "selftest/tree_compare.h"

namespace installer::selftest {

namespace {

constexpr std::uint64_t kSeed = 42;
constexpr const char* kBundleName = "Source.app";

enum class Mode { fresh, replacing };

struct Copier {
  std::string name;
  std::function<Result<void>(Mode, const std::string&, const std::string&)> copy;
};

// `program` -a-like SRC DST, and for a replacement rm -rf DST first, as a script would.
Copier externalCopier(const std::string& name, const std::string& program, std::vector<std::string> options) {
  return {name, [=](Mode mode, const std::string& source, const std::string& destination) {
            if (mode == Mode::fresh) {
              std::vector<std::string> arguments{program};
              arguments.insert(arguments.end(), options.begin(), options.end());
              arguments.push_back(source);
              arguments.push_back(destination);
              return runProgram(program, arguments);
            }
            std::string script = "rm -rf \"$2\" && \"$0\"";
            for (const std::string& option : options) {
              script += " " + option;
            }
            script += " \"$1\" \"$2\"";
            return runProgram("/bin/sh", {"sh", "-c", script, program, source, destination});
          }};
}

std::vector<Copier> copiers() {
  std::vector<Copier> all;
  all.push_back({"tool", [](Mode, const std::string& source, const std::string& destination) -> Result<void> {
                   Result<Replacement> replaced = replaceWithCopy(source, destination);
                   if (!replaced) {
                     return replaced.error();
                   }
                   return {};
                 }});
  all.push_back(externalCopier("cp -a", "/bin/cp", {"-a"}));
  if (std::optional<std::string> ditto = dittoProgram()) {
    all.push_back(externalCopier("ditto", *ditto, {}));
  }
  return all;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  size_t n = values.size();
  return n == 0 ? 0 : n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::string seconds(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f s", value);
  return text;
}

std::string ratios(const std::vector<double>& tool, const std::vector<double>& other) {
  std::vector<double> each;
  for (size_t i = 0; i < tool.size() && i < other.size(); ++i) {
    each.push_back(tool[i] / other[i]);
  }
  char text[64];
  std::snprintf(text, sizeof text, "%.2f [%.2f-%.2f]", median(each), *std::min_element(each.begin(), each.end()),
                *std::max_element(each.begin(), each.end()));
  return text;
}

void trimEnd(std::string& text) {
  while (!text.empty() && text.back() == ' ') {
    text.pop_back();
  }
}

std::string modeName(Mode mode) { return mode == Mode::fresh ? "fresh install" : "replacing a copy"; }

// Nothing at `destination`, or (replacing) a copy of `bundle` made by cp -a; then
// everything written so far flushed, so that no run pays for the one before.
Result<void> prepare(Mode mode, const std::string& bundle, const std::string& destination) {
  if (itemExists(destination)) {
    if (Result<void> removed = removeItem(destination); !removed) {
      return removed;
    }
  }
  if (mode == Mode::replacing) {
    if (Result<void> copied = runProgram("/bin/cp", {"cp", "-a", bundle, destination}); !copied) {
      return copied;
    }
  }
  ::sync();
  return {};
}

// Where the copies read the bundle from, one run at a time.
struct Origin {
  // "from a folder on the same volume".
  std::string title;
  // Whether every copy runs once untimed first, to have the bundle in the cache.
  bool warmUp = false;
  // Runs `run` with the bundle's path for one copy, and ends what it readied for it
  // (whatever `run` came to); an Error from either.
  std::function<Result<void>(const std::function<Result<void>(const std::string&)>& run)> with;
};

// Whether the tool's copy at `destination` is the bundle at `source`, item by item.
Outcome sameTree(const TreeSnapshot& before, const std::string& source, const std::string& destination) {
  Result<TreeSnapshot> after = snapshotTree(destination);
  if (!after) {
    return failed(after.error().description);
  }
  std::vector<Difference> differences = compareTrees(before, source, *after, destination, {::geteuid() == 0});
  return differences.empty() ? passed(std::to_string(after->size()) + " items")
                             : failed(differences.front().text + " (and " + std::to_string(differences.size() - 1) +
                                      " more)");
}

// The copy made once untimed: `checked` receives the comparison of the tool's fresh
// copy with what it copied.
Result<void> untimedRun(const Origin& origin, const Copier& copier, Mode mode, const std::string& bundle,
                        const std::string& destination, std::optional<Outcome>& checked) {
  if (Result<void> ready = prepare(mode, bundle, destination); !ready) {
    return ready;
  }
  return origin.with([&](const std::string& source) -> Result<void> {
    Result<TreeSnapshot> before = snapshotTree(source);
    Result<void> restated = !before ? Result<void>(before.error()) : restat(*before, source);
    Result<void> copied = !restated ? restated : copier.copy(mode, source, destination);
    if (copied && copier.name == "tool" && mode == Mode::fresh) {
      checked = sameTree(*before, source, destination);
    }
    return copied;
  });
}

// Times every copier in both modes `passes` times, reading from `origin`; prints each
// pass and the table.  `bundle` is the bundle in a folder, which an installed copy to
// replace is made from.
void timeCopies(const Origin& origin, const std::string& bundle, const std::string& destination, size_t passes,
                std::vector<CheckLine>& lines) {
  const std::string name = "benchmark " + origin.title;
  std::vector<Copier> all = copiers();
  std::optional<Outcome> checked;
  for (Mode mode : {Mode::fresh, Mode::replacing}) {
    for (const Copier& copier : all) {
      if (!origin.warmUp && (copier.name != "tool" || mode != Mode::fresh)) {
        continue;
      }
      if (Result<void> copied = untimedRun(origin, copier, mode, bundle, destination, checked); !copied) {
        lines.push_back({name + ": " + copier.name + ", " + modeName(mode), failed(copied.error().description)});
        return;
      }
    }
  }
  lines.push_back({name + ": the tool's copy is the bundle, item by item",
                   checked.value_or(failed("the tool's copy was not checked"))});

  struct Variant {
    Mode mode;
    const Copier* copier;
    std::vector<double> times;
  };
  std::vector<Variant> variants;
  for (Mode mode : {Mode::fresh, Mode::replacing}) {
    for (const Copier& copier : all) {
      variants.push_back({mode, &copier, {}});
    }
  }
  Report::text("\n  " + origin.title + "\n");
  for (size_t pass = 0; pass < passes; ++pass) {
    std::string shown = "  pass " + std::to_string(pass + 1) + ":";
    for (size_t i = 0; i < variants.size(); ++i) {
      Variant& variant = variants[(i + pass) % variants.size()];
      if (Result<void> ready = prepare(variant.mode, bundle, destination); !ready) {
        lines.push_back({name + ": preparing a run", failed(ready.error().description)});
        return;
      }
      double took = 0;
      Result<void> copied = origin.with([&](const std::string& source) {
        auto began = std::chrono::steady_clock::now();
        Result<void> done = variant.copier->copy(variant.mode, source, destination);
        took = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
        return done;
      });
      if (!copied) {
        lines.push_back({name + ": " + variant.copier->name + ", " + modeName(variant.mode),
                         failed(copied.error().description)});
        return;
      }
      variant.times.push_back(took);
      shown += " " + variant.copier->name + (variant.mode == Mode::fresh ? " fresh " : " replacing ") +
               seconds(took) + (i + 1 < variants.size() ? "," : "\n");
    }
    Report::text(shown);
  }

  std::string table = "\n  median wall time          ";
  for (const Copier& copier : all) {
    char cell[24];
    std::snprintf(cell, sizeof cell, "%-12s", copier.name.c_str());
    table += cell;
  }
  trimEnd(table);
  table += "\n";
  for (Mode mode : {Mode::fresh, Mode::replacing}) {
    char label[40];
    std::snprintf(label, sizeof label, "  %-24s ", modeName(mode).c_str());
    table += label;
    for (const Variant& variant : variants) {
      if (variant.mode == mode) {
        char cell[24];
        std::snprintf(cell, sizeof cell, "%-12s", seconds(median(variant.times)).c_str());
        table += cell;
      }
    }
    trimEnd(table);
    table += "\n";
  }
  table += "\n  tool / other, per pass: median [lowest-highest]\n";
  for (Mode mode : {Mode::fresh, Mode::replacing}) {
    const Variant* tool = nullptr;
    for (const Variant& variant : variants) {
      if (variant.mode == mode && variant.copier == &all.front()) {
        tool = &variant;
      }
    }
    for (const Variant& variant : variants) {
      if (variant.mode == mode && variant.copier != &all.front()) {
        char label[64];
        std::snprintf(label, sizeof label, "  %-24s tool / %-8s ", modeName(mode).c_str(),
                      variant.copier->name.c_str());
        table += label + ratios(tool->times, variant.times) + "\n";
      }
    }
  }
  Report::text(table);
  lines.push_back({name + ": " + std::to_string(passes * variants.size()) + " timed runs", passed()});
}

// The bundle read straight from its folder, the same for every run.
Origin folderOrigin(const std::string& bundle) {
  return {"from a folder on the same volume", true,
          [bundle](const std::function<Result<void>(const std::string&)>& run) { return run(bundle); }};
}

// The bundle read from the volume of `image` (in `workingFolder`), attached with the
// tool's mount step for each run and detached after it, so that each run reads the
// volume as an install does: nothing of it in the cache.  The attach is not timed.
Origin imageOrigin(const std::string& title, const std::string& workingFolder, const std::string& image) {
  return {title, false,
          [=](const std::function<Result<void>(const std::string&)>& run) -> Result<void> {
            Result<AttachedImage> attached = AttachedImage::attach(workingFolder, image);
            if (!attached) {
              return attached.error();
            }
            std::optional<std::string> source;
            for (const std::string& point : attached->points()) {
              if (!source && itemExists(point + "/" + kBundleName)) {
                source = point + "/" + kBundleName;
              }
            }
            // What the attach wrote is on the disk before the clock starts.
            ::sync();
            Result<void> done = source ? run(*source)
                                       : Result<void>(failure("no volume holds it", "looking for", kBundleName));
            Result<void> detached = attached->detach();
            return !done ? done : detached;
          }};
}

double megabytes(double bytes) { return bytes / (1 << 20); }

}  // namespace

std::vector<CheckLine> runBenchmark(const Workspace& workspace, const ImageTools& tools, size_t passes) {
  std::vector<CheckLine> lines;
  Result<std::string> folder = makeFolder(workspace, "bench");
  Result<std::string> volume = folder ? makeFolder(workspace, "bench/volume") : folder;
  if (!volume) {
    return {{"benchmark: setting up", failed(volume.error().description)}};
  }
  const std::string bundle = *volume + "/" + kBundleName;
  const std::string destination = *folder + "/Installed.app";

  auto start = std::chrono::steady_clock::now();
  if (Result<void> made = makeSampleBundle(BundleShape::typical, kSeed, bundle); !made) {
    return {{"benchmark: making the typical bundle", failed(made.error().description)}};
  }
  Result<TreeSnapshot> items = snapshotTree(bundle);
  if (!items) {
    return {{"benchmark: reading the typical bundle", failed(items.error().description)}};
  }
  size_t files = 0;
  double bytes = 0;
  for (const TreeItem& item : *items) {
    if (S_ISREG(item.status.st_mode)) {
      ++files;
      bytes += static_cast<double>(item.status.st_size);
    }
  }
  char made[160];
  std::snprintf(made, sizeof made, "typical bundle (seed %llu): %zu files, %.1f MiB, made in %s",
                static_cast<unsigned long long>(kSeed), files, megabytes(bytes),
                durationText(std::chrono::steady_clock::now() - start).c_str());
  Report::fact("benchmark", made);
  Report::fact("passes", std::to_string(passes) + ", in an order that rotates from pass to pass");
  ::sync();

  timeCopies(folderOrigin(bundle), bundle, destination, passes, lines);

  // The install a Mac does: from the volume of a compressed image.
  const std::string imageCase = "benchmark from an image";
  if (tools.missing) {
    lines.push_back({imageCase, skipped(*tools.missing)});
  } else if (Result<std::string> working = makeFolder(workspace, kImageFolder); !working) {
    lines.push_back({imageCase + ": making the image", failed(working.error().description)});
  } else {
    start = std::chrono::steady_clock::now();
    Result<std::string> format = makeCompressedImage(tools, *volume, *working + "/" + tools.imageName, "Benchmark");
    struct stat image {};
    if (!format || ::stat((*working + "/" + tools.imageName).c_str(), &image) != 0) {
      lines.push_back({imageCase + ": making the image", failed(format ? "no image" : format.error().description)});
    } else {
      char shown[200];
      std::snprintf(shown, sizeof shown, "%s, %.1f MiB, made in %s; attached with the tool's mount step for each run",
                    format->c_str(), megabytes(static_cast<double>(image.st_size)),
                    durationText(std::chrono::steady_clock::now() - start).c_str());
      Report::fact("image", shown);
      timeCopies(imageOrigin("from an attached image (" + *format + ")", *working, tools.imageName), bundle,
                 destination, passes, lines);
    }
  }
  Report::text("\n  The tool's copy is flushed to the disk before and after it is put in place;\n"
               "  the others leave their writes in the cache.\n\n");
  return lines;
}

}  // namespace installer::selftest

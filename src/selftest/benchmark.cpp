#include "selftest/benchmark.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>

#include "install/replace_item.h"
#include "platform/fs.h"
#include "platform/removal.h"
#include "selftest/programs.h"
#include "selftest/sample_bundle.h"
#include "selftest/system_facts.h"
#include "selftest/tree_compare.h"

namespace installer::selftest {

namespace {

constexpr std::uint64_t kSeed = 42;

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

// Nothing at `destination`, or (replacing) a copy of `source` made by cp -a; then
// everything written so far flushed, so that no run pays for the one before.
Result<void> prepare(Mode mode, const std::string& source, const std::string& destination) {
  if (itemExists(destination)) {
    if (Result<void> removed = removeItem(destination); !removed) {
      return removed;
    }
  }
  if (mode == Mode::replacing) {
    if (Result<void> copied = runProgram("/bin/cp", {"cp", "-a", source, destination}); !copied) {
      return copied;
    }
  }
  ::sync();
  return {};
}

}  // namespace

std::vector<CheckLine> runBenchmark(const Workspace& workspace, size_t passes) {
  std::vector<CheckLine> lines;
  Result<std::string> folder = makeFolder(workspace, "bench");
  if (!folder) {
    return {{"benchmark: setting up", failed(folder.error().description)}};
  }
  const std::string source = *folder + "/Source.app";
  const std::string destination = *folder + "/Installed.app";

  auto start = std::chrono::steady_clock::now();
  if (Result<void> made = makeSampleBundle(BundleShape::typical, kSeed, source); !made) {
    return {{"benchmark: making the typical bundle", failed(made.error().description)}};
  }
  Result<TreeSnapshot> items = snapshotTree(source);
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
                static_cast<unsigned long long>(kSeed), files, bytes / (1 << 20),
                durationText(std::chrono::steady_clock::now() - start).c_str());
  Report::fact("benchmark", made);
  Report::fact("passes", std::to_string(passes) + ", in an order that rotates from pass to pass");
  ::sync();

  std::vector<Copier> all = copiers();
  // Warm-up, untimed: the source into the cache.  The tool's copy is compared with
  // the source on the way.
  for (Mode mode : {Mode::fresh, Mode::replacing}) {
    for (const Copier& copier : all) {
      Result<void> ready = prepare(mode, source, destination);
      Result<TreeSnapshot> before = snapshotTree(source);
      Result<void> restated = !before ? Result<void>(before.error()) : restat(*before, source);
      Result<void> copied = !ready ? ready : !restated ? restated : copier.copy(mode, source, destination);
      if (!copied) {
        lines.push_back({"benchmark: " + copier.name + ", " + modeName(mode), failed(copied.error().description)});
        return lines;
      }
      if (copier.name == "tool" && mode == Mode::fresh) {
        Result<TreeSnapshot> after = snapshotTree(destination);
        std::vector<Difference> differences;
        if (after) {
          differences = compareTrees(*before, source, *after, destination, {::geteuid() == 0});
        }
        lines.push_back({"benchmark: the tool's copy is the bundle, item by item",
                         !after               ? failed(after.error().description)
                         : differences.empty() ? passed(std::to_string(after->size()) + " items")
                                               : failed(differences.front().text + " (and " +
                                                        std::to_string(differences.size() - 1) + " more)")});
      }
    }
  }

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
  for (size_t pass = 0; pass < passes; ++pass) {
    std::string shown = "  pass " + std::to_string(pass + 1) + ":";
    for (size_t i = 0; i < variants.size(); ++i) {
      Variant& variant = variants[(i + pass) % variants.size()];
      if (Result<void> ready = prepare(variant.mode, source, destination); !ready) {
        lines.push_back({"benchmark: preparing a run", failed(ready.error().description)});
        return lines;
      }
      auto began = std::chrono::steady_clock::now();
      Result<void> copied = variant.copier->copy(variant.mode, source, destination);
      double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
      if (!copied) {
        lines.push_back({"benchmark: " + variant.copier->name + ", " + modeName(variant.mode),
                         failed(copied.error().description)});
        return lines;
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
  table += "\n  The tool's copy is flushed to the disk before and after it is put in place;\n"
           "  the others leave their writes in the cache.\n\n";
  Report::text(table);
  lines.push_back({"benchmark: " + std::to_string(passes * variants.size()) + " timed runs", passed()});
  return lines;
}

}  // namespace installer::selftest

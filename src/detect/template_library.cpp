#include "detect/template_library.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <thread>
#include <string_view>
#include <system_error>

#include "util/path.h"

namespace qae {

namespace {

constexpr std::string_view kTemplateExtension = ".sg2";

bool IsTemplateFileName(const std::string& name) {
  // Hidden names (".", "..", editor and sync leftovers) never hold templates.
  if (name.empty() || name[0] == '.') return false;
  return name.size() >= kTemplateExtension.size() &&
         name.compare(name.size() - kTemplateExtension.size(), kTemplateExtension.size(),
                      kTemplateExtension) == 0;
}

// The template file names of `dir`, sorted, so that slot numbers (and with
// them iTS, iTE and the reference template) do not depend on the order in
// which the file system happens to list its entries. A directory that cannot
// be read yields no names.
std::vector<std::string> ListTemplateFiles(const std::string& dir) {
  namespace fs = std::filesystem;
  std::vector<std::string> names;
  std::error_code ec;
  fs::directory_iterator it(dir.empty() ? fs::path(".") : PathOf(dir), ec);
  if (ec) return names;
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    if (ec) break;
    std::string name = PathText(it->path().filename());
    if (!IsTemplateFileName(name)) continue;
    std::error_code type_ec;
    if (it->is_directory(type_ec)) continue;
    names.push_back(std::move(name));
  }
  std::sort(names.begin(), names.end());
  return names;
}

// The path a listed template file is read from: relative prefixes resolve
// against the working directory of the run's start, which is never changed.
std::string ListedPath(const std::string& template_dir, const std::string& name) {
  return template_dir.empty() ? name : PathText(PathOf(template_dir) / PathOf(name));
}

// Templates read ahead, in parallel, for the loop that fills the slots in
// order: a file's content does not depend on its slot, so the loop takes
// the file read ahead when it wants it, and reads one itself that was not
// (when an earlier file failed and moved the slots on).
struct ReadAhead {
  std::optional<XL_WaveDataSeg2> record;
  bool loaded = false;
};

std::vector<ReadAhead> ReadTemplatesAhead(const std::string& template_dir,
                                          const std::vector<std::string>& names,
                                          const std::vector<bool>& wanted, int threads) {
  std::vector<ReadAhead> ahead(names.size());
  std::atomic<std::size_t> next{0};
  const auto work = [&] {
    for (std::size_t p; (p = next.fetch_add(1)) < names.size();) {
      if (!wanted[p]) continue;
      ahead[p].record.emplace();
      ahead[p].loaded = ahead[p].record->Load(ListedPath(template_dir, names[p]), 1, 0, 0) >= 1;
    }
  };
  std::vector<std::thread> helpers;
  const std::size_t n_wanted = static_cast<std::size_t>(std::count(wanted.begin(), wanted.end(), true));
  const std::size_t extra = std::min<std::size_t>(threads > 1 ? threads - 1 : 0, n_wanted / 2);
  for (std::size_t t = 0; t < extra; ++t) helpers.emplace_back(work);
  work();
  for (std::thread& h : helpers) h.join();
  return ahead;
}

}  // namespace

int TemplateAeNumber(const std::string& file_name) {
  // Read as "%d" would read the name with its seventh character masked:
  // blanks, an optional sign, then digits, all within the first six.
  const std::string_view head = std::string_view(file_name).substr(0, 6);
  std::size_t i = 0;
  while (i < head.size() && (head[i] == ' ' || (head[i] >= '\t' && head[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < head.size() && (head[i] == '+' || head[i] == '-')) {
    negative = head[i] == '-';
    ++i;
  }
  int value = 0;
  for (; i < head.size() && head[i] >= '0' && head[i] <= '9'; ++i) {
    value = value * 10 + (head[i] - '0');  // at most six digits: no overflow
  }
  return negative ? -value : value;
}

TemplateLibrary LoadTemplates(const std::string& template_dir, AePars& pars, RunContext& ctx) {
  TemplateLibrary library;

  // The sign of maxTemplates selects the loading mode, its magnitude the
  // capacity. Slots are created as files are found, so a huge capacity costs
  // nothing until there are files to fill it.
  int64_t capacity = pars.maxTemplates;
  const bool full_mode = capacity > 0;
  if (capacity < 0) capacity = -capacity;
  capacity = std::min<int64_t>(capacity, INT32_MAX);
  pars.maxTemplates = static_cast<int32_t>(capacity);

  const int64_t start = pars.iTS < 0 ? 0 : pars.iTS;
  const int64_t end = pars.iTE < 0 ? capacity - 1 : pars.iTE;

  ctx.log.Printf("\n Load templates from %s\n", template_dir.c_str());

  const auto loads_slot = [&](int64_t i) {
    return !((!full_mode && i != 0) || i < start || i > end);
  };
  const std::vector<std::string> names = ListTemplateFiles(template_dir);
  // Read ahead what the loop loads when every file loads.
  std::vector<bool> wanted(names.size(), false);
  for (std::size_t p = 0; p < names.size() && static_cast<int64_t>(p) < capacity; ++p) {
    wanted[p] = loads_slot(static_cast<int64_t>(p));
  }
  std::vector<ReadAhead> ahead = ReadTemplatesAhead(template_dir, names, wanted, ctx.ScanThreads());

  int64_t i = 0;
  for (std::size_t p = 0; p < names.size(); ++p) {
    const std::string& name = names[p];
    // A capacity of 0 has no slot for even the first file.
    if (i >= capacity) break;
    // The slot's name is the prefix followed by the file name.
    const std::string path = template_dir + name;

    XL_WaveDataSeg2 slot;
    if (!loads_slot(i)) {
      ctx.log.Printf("  template %s (%d)...", name.c_str(), static_cast<int>(i));
    } else {
      ctx.log.Printf("  loading %s (%d)...", name.c_str(), static_cast<int>(i));
      bool loaded = false;
      if (ahead[p].record) {
        loaded = ahead[p].loaded;
        if (loaded) slot = std::move(*ahead[p].record);
        ahead[p].record.reset();
      } else {
        loaded = slot.Load(ListedPath(template_dir, name), 1, 0, 0) >= 1;
      }
      if (!loaded) {
        // The slot stays free for the next file.
        ctx.log.Printf(" failed !\n");
        ctx.log.Reopen();
        continue;
      }
    }
    ahead[p].record.reset();
    slot.aeNumber = TemplateAeNumber(name);
    slot.sourceName = path;
    library.slots.push_back(std::move(slot));
    ctx.log.Printf(" !\n");
    ctx.log.Reopen();
    ++i;
  }

  pars.maxTemplates = static_cast<int32_t>(i);
  ctx.log.Printf("number of template: %d\n\n", static_cast<int>(i));
  return library;
}

}  // namespace qae

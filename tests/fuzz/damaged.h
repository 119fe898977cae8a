// The damaged files kept in tests/fuzz/damaged are named for the reason the engine gives for
// them: "damaged: track 2: 'stsz' is cut short" earns damaged-stsz-is-cut-short.mov. The tool
// that picks them (keep_damaged) and the test that replays them share these rules.
#pragma once

#include <cctype>
#include <memory>
#include <string>
#include <vector>

#include "qtengine.h"

namespace damaged {

// The movie's reason when it has one (refused, or a track dropped), else each closed track's.
inline std::vector<qte::Reason> reasonsGiven(const std::shared_ptr<qte::Movie>& m, const qte::Reason& movie) {
  if (!movie.empty()) return {movie};
  std::vector<qte::Reason> v;
  for (size_t i = 0; m && i < m->trackCount(); ++i)
    if (!m->track(i)->info().closed.empty()) v.push_back(m->track(i)->info().closed);
  return v;
}

// The kind and the rule in lower-case words joined by '-', quotes dropped; the track is left
// out, so that the name holds whichever track breaks the rule.
inline std::string slug(const qte::Reason& r) {
  static const char* const kKinds[] = {"", "damaged", "unsupported", "unreadable"};
  std::string s = r.kind < 4 ? kKinds[r.kind] : "";
  bool gap = true;
  for (const char* p = r.rule; *p; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c == '\'') continue;
    if (!std::isalnum(c)) {
      gap = true;
      continue;
    }
    if (gap && !s.empty()) s += '-';
    gap = false;
    s += char(std::tolower(c));
  }
  return s;
}

// A file stands for a reason when its name starts with the reason's kind.
inline bool namesAReason(const std::string& stem) {
  return stem.rfind("damaged-", 0) == 0 || stem.rfind("unsupported-", 0) == 0;
}

// The stem is the slug, or the slug, "--" and whatever tells a second file for the rule apart.
inline bool namedFor(const std::string& stem, const std::string& slug) {
  return !slug.empty() && (stem == slug || stem.rfind(slug + "--", 0) == 0);
}

}  // namespace damaged

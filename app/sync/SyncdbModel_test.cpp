// Random sequences of SYNC operations run against the database and against a
// plain in-memory model with the same rules (case folded by plat::foldCase,
// a subtree is the path and what begins with it and "/"), compared after
// every step. Names are drawn from a small alphabet of lookalikes (letters
// in both cases, "_", "%", "\", "'", a letter with an accent and a Chinese
// character) so that wildcards and folding are exercised all the time.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "app/sync/SyncPath.h"
#include "app/sync/Syncdb.h"
#include "app/sync/sync_test_util.h"
#include "platform/foundation/case_fold.h"
#include "platform/foundation/clock.h"

namespace {

struct ModelRow {
  std::string parent;
  int64_t status = 0;
  int64_t version = 0;
  int64_t actlast = 0;
  bool file = true;
};

// Keyed by the exact letters, like the primary key.
using Model = std::map<std::string, ModelRow>;

class Runner {
public:
  Runner(const std::string& file, uint32_t seed) : db_(file), rng_(seed) {}

  std::string name() {
    static const std::vector<std::string> parts = {"a", "A", "b", "_", "%", "\\", "'", "é", "É", "中"};
    std::string out;
    const int n = 1 + static_cast<int>(rng_() % 2);
    for (int i = 0; i < n; ++i) out += parts[rng_() % parts.size()];
    return out;
  }
  std::string path() {
    std::string p = name();
    const int depth = static_cast<int>(rng_() % 3);
    for (int i = 0; i < depth; ++i) p += "/" + name();
    return p;
  }
  // A path of the model most of the time, so operations find something.
  std::string known() {
    if (model_.empty() || rng_() % 4 == 0) return path();
    auto it = model_.begin();
    std::advance(it, static_cast<long>(rng_() % model_.size()));
    std::string p = it->first;
    // Sometimes in other letters.
    if (rng_() % 2) {
      for (auto& c : p) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
      }
    }
    return p;
  }

  // Rows matching exactly one path in folded letters.
  std::vector<std::string> matching(const std::string& p) {
    std::vector<std::string> out;
    for (auto& [k, v] : model_) {
      if (syncpath::same(k, p)) out.push_back(k);
    }
    return out;
  }

  void step(int i) {
    const int op = static_cast<int>(rng_() % 9);
    switch (op) {
      case 0:
      case 1: {  // add
        const std::string p = path();
        SyncFileItem it;
        it.webpath = p;
        it.parent = syncpath::parentOf(p);
        it.status = 3 + static_cast<int64_t>(rng_() % 3);
        it.file = rng_() % 2;
        const bool ok = db_.add_new_file(it);
        const bool expect = !model_.count(p);
        ASSERT_EQ(ok, expect) << "add " << p;
        if (expect) model_[p] = {it.parent, it.status, 0, 0, it.file};
        break;
      }
      case 2: {  // status of one entry
        const std::string p = known();
        const int64_t s = 1 + static_cast<int64_t>(rng_() % 9);
        db_.update_status(p, s);
        for (auto& k : matching(p)) model_[k].status = s;
        break;
      }
      case 3: {  // status of a subtree
        const std::string p = known();
        const int64_t s = 1 + static_cast<int64_t>(rng_() % 9);
        db_.update_dir_status(p, s);
        for (auto& [k, v] : model_) {
          if (syncpath::within(k, p)) v.status = s;
        }
        break;
      }
      case 4: {  // delete a subtree
        const std::string p = known();
        db_.del_dir(p);
        std::erase_if(model_, [&](const auto& kv) { return syncpath::within(kv.first, p); });
        break;
      }
      case 5:
      case 6: {  // rename or move a subtree
        const std::string from = known();
        const std::string to = rng_() % 2 ? name() : path();
        const bool isMove = op == 6;
        // A folder moved into its own tree is no operation of the engine.
        if (syncpath::within(to, from)) break;
        Model next;
        bool conflict = false;
        // The database keeps the old tree whole when any new key is taken.
        for (auto& [k, v] : model_) {
          std::string key = k;
          ModelRow row = v;
          if (syncpath::same(k, from)) {
            key = to;
            if (isMove) row.parent = syncpath::parentOf(to), row.version = 0;
          } else if (syncpath::below(k, from)) {
            key = to + syncpath::restAfter(k, from);
            row.parent = to + syncpath::restAfter(v.parent, from);
            if (isMove) row.version = 0;
          }
          conflict = conflict || !next.emplace(key, row).second;
        }
        // Two source rows that differ only in case would both take `to`.
        const bool ok = isMove ? db_.move(from, to) : db_.rename(from, to);
        ASSERT_EQ(ok, !conflict) << (isMove ? "move " : "rename ") << from << " -> " << to;
        if (!conflict) model_ = std::move(next);
        break;
      }
      case 7: {  // hand-off pick and stamp
        const auto picked = (rng_() % 2) ? db_.get_upload() : db_.get_download();
        if (picked.status != -1) {
          db_.update_acttime(picked.webpath);
          for (auto& k : matching(picked.webpath)) model_[k].actlast = Syncdb::now();
        }
        break;
      }
      case 8:  // time passes
        clock_->advance(static_cast<double>(rng_() % 3));
        break;
    }
    compare(i);
  }

  // The model's answer to a pick: the most urgent status, then the oldest
  // eligible stamp, then the path.
  std::string expectedPick(std::initializer_list<int64_t> statuses) {
    const int64_t now = Syncdb::now();
    for (int64_t s : statuses) {
      const Model::value_type* best = nullptr;
      for (auto& kv : model_) {
        const auto& r = kv.second;
        if (r.status != s || (r.actlast >= now && r.actlast <= now + 600)) continue;
        if (!best || r.actlast < best->second.actlast) best = &kv;
      }
      if (best) return best->first;
    }
    return "";
  }

  void compare(int i) {
    synctest::Raw raw(file_);
    std::vector<std::vector<std::string>> want;
    for (auto& [k, v] : model_) {
      want.push_back({k, v.parent, std::to_string(v.status), std::to_string(v.version), std::to_string(v.actlast)});
    }
    auto got = raw.rows("select path,parent,status,version,actlast from SYNC");
    std::sort(got.begin(), got.end());
    ASSERT_EQ(got, want) << "after step " << i;
    int64_t need = 0;
    for (auto& [k, v] : model_) need += (v.status != 4 && v.status != 7);
    ASSERT_EQ(db_.getAllNeedSyncCount(), need);
    ASSERT_EQ(db_.get_download().webpath, expectedPick({5, 2})) << "after step " << i;
    ASSERT_EQ(db_.get_upload().webpath, expectedPick({8, 3, 1})) << "after step " << i;
  }

  void setFile(std::string f) { file_ = std::move(f); }

  std::shared_ptr<plat::ManualClock> clock_ = std::make_shared<plat::ManualClock>();

private:
  Syncdb db_;
  std::mt19937 rng_;
  Model model_;
  std::string file_;
};

TEST(SyncdbModel, RandomOperationsAgreeWithThePlainModel) {
  for (uint32_t seed : {1u, 2u, 3u, 4u}) {
    SCOPED_TRACE(seed);
    synctest::TempDir dir;
    Runner r(dir.file("m.db"), seed);
    plat::ScopedClock scoped(r.clock_);
    r.setFile(dir.file("m.db"));
    for (int i = 0; i < 150; ++i) {
      r.step(i);
      if (::testing::Test::HasFatalFailure()) return;
    }
  }
}

}  // namespace

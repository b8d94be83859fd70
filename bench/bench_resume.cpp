// Resume benchmark: opening the journal a killed run left with many created files and
// restoring the session from it, which must stay linear in the number of files.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "io/fs_root.h"
#include "output/journal.h"
#include "output/session.h"
#include "support/log.h"
#include "support/test_util.h"

namespace {

constexpr uint64_t FINGERPRINT = 7;

// A journal whose run created `count` files, written in the order a resumed run writes them
// back (the order of its table), as a run resumed before would have left it.
std::string journal_text(int64_t count) {
  Journal journal{};
  journal.fd = -1;
  for (int64_t i = 0; i < count; ++i) {
    char path[96];
    snprintf(path, sizeof path, "0A1B2C3D_out/CAN%lld/Message_%05lld/2023/11/07/00000001_%08lld",
             static_cast<long long>(i % 9 + 1), static_cast<long long>(i / 64 % 100000),
             static_cast<long long>(i));
    string_set_insert(&journal.state.created, path);
  }
  std::string text = "tabulon-journal 1 " + std::to_string(FINGERPRINT) + "\n";
  hash_table_for_each(&journal.state.created, [&](StringSetEntry& e) {
    text += "created ";
    text += dynstring_sv(&e.key);
    text += "\n";
  });
  text += "set 171 5 3 2023 11 7\nlast 171 5 3\n";
  hash_table_destroy<StringKeyTraits<StringSetEntry>>(&journal.state.created);
  return text;
}

void BM_ResumeManyFiles(benchmark::State& state) {
  log_set_output_level(LOG_ERROR);
  test::TempDir dir;
  std::string text = journal_text(state.range(0));
  FsRoot* root = fs_root_create(dir.path);
  for (auto _ : state) {
    state.PauseTiming();
    test::write_file(dir.file(JOURNAL_NAME), text);
    Session* session = session_create(root, false, false, 0);
    state.ResumeTiming();
    Journal* journal = journal_open(root, FINGERPRINT);
    if (!journal || !journal->resumed) {
      state.SkipWithError("the journal was not resumed");
      break;
    }
    session_resume(session, &journal->state);
    benchmark::DoNotOptimize(session->written_paths.count);
    state.PauseTiming();
    journal_close(journal);
    session_destroy(session);
    free(session);
    state.ResumeTiming();
  }
  fs_root_release(root);
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_ResumeManyFiles)->Arg(100000)->Arg(200000)->Arg(400000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

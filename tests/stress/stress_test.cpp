// SPDX-License-Identifier: MIT
// Many threads at once on one manager: parses, thumbnails, metadata reads and file updates of
// many files, checked against a single-threaded pass, with a watchdog that fails a stuck run.
//
// Environment: MIO_STRESS_SECONDS (default 20), MIO_STRESS_THREADS (8),
// MIO_STRESS_STALL_SECONDS (120, no step of one worker may take longer),
// MIO_STRESS_MAX_BYTES (524288, corpus files above it are left out). Runs of 120 s or more
// also take the few files that are slow to decode.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <random>
#include <thread>

#include "stress_support.h"
#include "support/test_support.h"

namespace {

using namespace stress;
using Clock = std::chrono::steady_clock;

int64_t nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch())
        .count();
}

// ---- watchdog ----

struct WorkerState {
    std::atomic<int> phase{static_cast<int>(Phase::Idle)};
    std::atomic<int> job{-1};
    std::atomic<int64_t> lastStepMs{0};
    std::atomic<bool> finished{false};
};

void onStep(void* context, Phase phase)
{
    auto* state = static_cast<WorkerState*>(context);
    state->phase.store(static_cast<int>(phase), std::memory_order_relaxed);
    state->lastStepMs.store(nowMs(), std::memory_order_relaxed);
}

// Fails the process, with every worker's place and the threads' stacks, when one worker makes
// no step for the stall limit: a deadlock must end the run, not hang CI until its timeout.
class Watchdog {
  public:
    Watchdog(std::vector<WorkerState>& workers, std::function<std::string(int)> jobName,
             long stallSeconds)
        : m_workers(workers), m_jobName(std::move(jobName)), m_stallMs(stallSeconds * 1000)
    {
        m_thread = std::thread([this] { run(); });
    }
    ~Watchdog()
    {
        {
            std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

  private:
    void run()
    {
        std::unique_lock lock(m_mutex);
        while (!m_wake.wait_for(lock, std::chrono::milliseconds(250), [this] { return m_stop; })) {
            const int64_t now = nowMs();
            for (const WorkerState& w : m_workers) {
                if (w.finished.load() || now - w.lastStepMs.load() < m_stallMs) continue;
                report(now);
                std::abort();
            }
        }
    }

    void report(int64_t now)
    {
        std::fprintf(stderr, "\nWATCHDOG: a worker made no progress for %lld s\n",
                     static_cast<long long>(m_stallMs / 1000));
        for (size_t i = 0; i < m_workers.size(); ++i) {
            const WorkerState& w = m_workers[i];
            std::fprintf(stderr, "  worker %zu: %s, %s of %s, last step %lld ms ago\n", i,
                         w.finished.load() ? "finished" : "running",
                         phaseName(static_cast<Phase>(w.phase.load())),
                         m_jobName(w.job.load()).c_str(),
                         static_cast<long long>(now - w.lastStepMs.load()));
        }
        std::fflush(stderr);
        // The stacks of every thread, when a debugger is at hand.
        const std::string command = "timeout 60 gdb -p " + std::to_string(getpid()) +
                                    " -batch -nx -ex 'thread apply all bt' 2>&1";
        if (FILE* pipe = popen(command.c_str(), "r")) {
            char line[1024];
            while (fgets(line, sizeof line, pipe))
                std::fputs(line, stderr);
            pclose(pipe);
        }
        std::fflush(stderr);
    }

    std::vector<WorkerState>& m_workers;
    std::function<std::string(int)> m_jobName;
    const int64_t m_stallMs;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stop = false;
    std::thread m_thread;
};

// ---- the work ----

enum class JobKind { Read, XmpCommit, TagSave, ImageWrite };

struct Job {
    JobKind kind = JobKind::Read;
    fs::path path;    // the file read, or the source that writers copy
    std::string name; // for reports
    std::string expected;
    int32_t writeFormat = 0; // ImageWrite: the format number
    std::string extension;   // ImageWrite: of the written file
};

// The file format numbers of the writers (their extension's place in the still-image table).
struct WriteFormat {
    int32_t id;
    const char* extension;
    bool required;
};
constexpr WriteFormat kWriteFormats[] = {
    {53, ".jpg", true},  {60, ".png", true},  {41, ".bmp", false},
    {71, ".tif", false}, {48, ".gif", false},
};

constexpr int32_t kId3v1Title = 110;

std::string failWith(std::string* failure, std::string text)
{
    *failure = std::move(text);
    return {};
}

Job makeJob(JobKind kind, fs::path path, std::string name)
{
    Job job;
    job.kind = kind;
    job.path = std::move(path);
    job.name = std::move(name);
    return job;
}

std::u16string u16of(const std::string& ascii)
{
    return std::u16string(ascii.begin(), ascii.end());
}

class StressSuite : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ASSERT_NE(managerFactory(), nullptr) << moduleLoadError();
        m_manager = createManager();
        ASSERT_TRUE(m_manager);
    }

    // Self-made inputs, so the suite has work without the corpus: a BMP, a WAV and the files
    // the manager writes from a bitmap.
    void addSelfMadeFiles()
    {
        DibBlock dib(173, 97, 7);
        ASSERT_TRUE(dib.ok());
        const fs::path bmp = m_dir / "made.bmp";
        ASSERT_TRUE(writeBmp(bmp, dib.get()));
        m_reads.push_back(bmp);
        const fs::path wav = m_dir / "made.wav";
        ASSERT_TRUE(writeWav(wav, 8000, 4000));
        m_reads.push_back(wav);
        for (const WriteFormat& format : kWriteFormats) {
            const fs::path path = m_dir / (std::string("made") + format.extension);
            const HRESULT hr =
                m_manager->WriteImageFile(wide(path).c_str(), format.id, dib.get(), FALSE, 85);
            if (format.required) {
                ASSERT_EQ(hr, S_OK) << path;
            }
            if (hr == S_OK) {
                m_reads.push_back(path);
                m_writeFormats.push_back(format);
            }
        }
    }

    void addCorpusFiles()
    {
        const fs::path corpus = support::corpusDir();
        std::error_code ec;
        if (corpus.empty() || !fs::is_directory(corpus, ec)) return;
        const auto limit = static_cast<uintmax_t>(envNumber("MIO_STRESS_MAX_BYTES", 524288));
        // Small files whose thumbnail means a full decode of a 10 to 24 megapixel raw frame:
        // seconds each (minutes under the thread checker), so only long runs take them.
        const std::vector<std::string> heavy = {"exiftool_CanonRaw.cr3", "exiftool_Panasonic.rw2",
                                                "exiftool_Nikon.nef"};
        const bool longRun = envNumber("MIO_STRESS_SECONDS", 20) >= 120;
        for (const char* folder : {"jpeg", "png", "bmp", "gif", "ico", "tiff", "raw", "video",
                                   "audio", "other-images", "broken"}) {
            std::vector<fs::path> files;
            for (const auto& entry : fs::directory_iterator(corpus / folder, ec)) {
                if (!entry.is_regular_file(ec) || entry.file_size(ec) > limit) continue;
                if (!longRun && std::find(heavy.begin(), heavy.end(),
                                          entry.path().filename().string()) != heavy.end())
                    continue;
                files.push_back(entry.path());
            }
            std::sort(files.begin(), files.end());
            m_reads.insert(m_reads.end(), files.begin(), files.end());
        }
        m_xmpSource = support::corpusPathOrEmpty("jpeg/Canon_40D.jpg");
        m_tagSource = support::corpusPathOrEmpty("audio/silence-44-s-v1.mp3");
    }

    std::string relativeName(const fs::path& path) const
    {
        const std::string text = path.string();
        const std::string corpus = support::corpusDir().string();
        if (!corpus.empty() && text.rfind(corpus, 0) == 0) return text.substr(corpus.size() + 1);
        return path.filename().string();
    }

    // The single-threaded pass: every job once, its answers kept as the reference.
    void buildJobs()
    {
        for (const fs::path& path : m_reads) {
            Job job = makeJob(JobKind::Read, path, relativeName(path));
            bool image = false;
            const auto started = Clock::now();
            job.expected = parseAndDescribe(m_manager.Get(), path, &image);
            if (std::getenv("MIO_STRESS_DUMP"))
                std::printf(
                    "%s (%.0f ms): %s\n", job.name.c_str(),
                    std::chrono::duration<double, std::milli>(Clock::now() - started).count(),
                    job.expected.c_str());
            m_jobs.push_back(job);
            if (image) m_imageJobs.push_back(m_jobs.size() - 1);
        }
        const fs::path xmpSource = m_xmpSource.empty() ? m_dir / "made.jpg" : m_xmpSource;
        Job xmp = makeJob(JobKind::XmpCommit, xmpSource,
                          "XMP commit on a copy of " + relativeName(xmpSource));
        std::string failure;
        xmp.expected = xmpCommit(xmp, m_dir / "baseline-xmp.jpg", "baseline", &failure);
        ASSERT_TRUE(failure.empty()) << failure;
        m_jobs.push_back(xmp);
        if (!m_tagSource.empty()) {
            Job tag = makeJob(JobKind::TagSave, m_tagSource,
                              "tag save on a copy of " + relativeName(m_tagSource));
            tag.expected = tagSave(tag, m_dir / "baseline-tag.mp3", "base", &failure);
            ASSERT_TRUE(failure.empty()) << failure;
            m_jobs.push_back(tag);
        }
        for (const WriteFormat& format : m_writeFormats) {
            Job write =
                makeJob(JobKind::ImageWrite, {}, std::string("WriteImageFile ") + format.extension);
            write.writeFormat = format.id;
            write.extension = format.extension;
            write.expected =
                imageWrite(write, m_dir / ("baseline-write" + write.extension), &failure);
            ASSERT_TRUE(failure.empty()) << failure;
            m_jobs.push_back(write);
        }
    }

    // A copy of a JPEG gets a caption and a rating committed, then is opened again: the caption
    // must read back and the picture must not change. Returns "rating|thumbnail".
    std::string xmpCommit(const Job& job, const fs::path& copy, const std::string& tag,
                          std::string* failure, WorkerState* state = nullptr)
    {
        std::error_code ec;
        fs::copy_file(job.path, copy, fs::copy_options::overwrite_existing, ec);
        if (ec) return failWith(failure, "copy failed: " + ec.message());
        const std::u16string caption = u16of("stress " + tag);
        std::string result;
        {
            if (state) onStep(state, Phase::Parse);
            ComPtr<IMediaFileIO> object;
            HRESULT hr = m_manager->ParseFile(wide(copy).c_str(), object.GetAddressOf());
            if (hr != S_OK || !isImageObject(object.Get()))
                return failWith(failure,
                                "ParseFile of the copy: " + hex(static_cast<uint32_t>(hr)));
            if (state) onStep(state, Phase::Write);
            const auto bytes = static_cast<int32_t>((caption.size() + 1) * 2);
            if ((hr = object->SetCaption(caption.c_str(), bytes)) != S_OK ||
                (hr = object->SetRating(u"3", 4)) != S_OK)
                return failWith(failure, "staging failed: " + hex(static_cast<uint32_t>(hr)));
            if (state) onStep(state, Phase::Commit);
            if ((hr = object->UpdateMetaDataToFile()) != S_OK)
                return failWith(failure, "UpdateMetaDataToFile: " + hex(static_cast<uint32_t>(hr)));
            if (state) onStep(state, Phase::Release);
        }
        {
            if (state) onStep(state, Phase::Reparse);
            ComPtr<IMediaFileIO> object;
            HRESULT hr = m_manager->ParseFile(wide(copy).c_str(), object.GetAddressOf());
            if (hr != S_OK) return failWith(failure, "reparse: " + hex(static_cast<uint32_t>(hr)));
            WCHAR text[128] = {};
            if (object->GetCaption(text, sizeof text) != S_OK || std::u16string(text) != caption)
                return failWith(failure, "caption read back as \"" + narrow(text) + "\"");
            text[0] = 0;
            hr = object->GetRating(text, sizeof text);
            result = hex(static_cast<uint32_t>(hr)) + ":" + narrow(text) + "|" +
                     thumbnailHash(object.Get());
            if (state) onStep(state, Phase::Release);
        }
        fs::remove(copy, ec);
        return result;
    }

    // A copy of an MP3 gets a new ID3v1 title saved, then is opened again to read it.
    std::string tagSave(const Job& job, const fs::path& copy, const std::string& tag,
                        std::string* failure, WorkerState* state = nullptr)
    {
        std::error_code ec;
        fs::copy_file(job.path, copy, fs::copy_options::overwrite_existing, ec);
        if (ec) return failWith(failure, "copy failed: " + ec.message());
        const std::u16string title = u16of(tag);
        {
            if (state) onStep(state, Phase::Parse);
            ComPtr<IMediaFileIO> object;
            HRESULT hr = m_manager->ParseFile(wide(copy).c_str(), object.GetAddressOf());
            if (hr != S_OK || isImageObject(object.Get()))
                return failWith(failure,
                                "ParseFile of the copy: " + hex(static_cast<uint32_t>(hr)));
            if (state) onStep(state, Phase::Write);
            hr = object->SetMetaData(MetaFormatId3v1, kId3v1Title,
                                     reinterpret_cast<const BYTE*>(title.c_str()),
                                     static_cast<int32_t>((title.size() + 1) * 2));
            if (hr != S_OK)
                return failWith(failure, "SetMetaData: " + hex(static_cast<uint32_t>(hr)));
            if (state) onStep(state, Phase::Commit);
            if ((hr = object->UpdateMetaDataToFile()) != S_OK)
                return failWith(failure, "UpdateMetaDataToFile: " + hex(static_cast<uint32_t>(hr)));
            if (state) onStep(state, Phase::Release);
        }
        std::string result;
        {
            if (state) onStep(state, Phase::Reparse);
            ComPtr<IMediaFileIO> object;
            const HRESULT hr = m_manager->ParseFile(wide(copy).c_str(), object.GetAddressOf());
            if (hr != S_OK) return failWith(failure, "reparse: " + hex(static_cast<uint32_t>(hr)));
            WCHAR text[128] = {};
            if (object->GetMetaDataStr(MetaFormatId3v1, kId3v1Title, text, sizeof text) != S_OK ||
                std::u16string(text) != title)
                return failWith(failure, "title read back as \"" + narrow(text) + "\"");
            int32_t width = 0, height = 0;
            result = hex(static_cast<uint32_t>(object->GetFrameSize(&width, &height)));
            uint64_t size = 0;
            object->GetFileSize(&size);
            result += "|" + std::to_string(size);
            if (state) onStep(state, Phase::Release);
        }
        fs::remove(copy, ec);
        return result;
    }

    // The same bitmap written by the manager and read back: the same answers every time.
    std::string imageWrite(const Job& job, const fs::path& target, std::string* failure,
                           WorkerState* state = nullptr)
    {
        DibBlock dib(131, 67, 11);
        if (!dib.ok()) return failWith(failure, "no bitmap");
        if (state) onStep(state, Phase::Write);
        const HRESULT hr =
            m_manager->WriteImageFile(wide(target).c_str(), job.writeFormat, dib.get(), FALSE, 85);
        if (hr != S_OK)
            return failWith(failure, "WriteImageFile: " + hex(static_cast<uint32_t>(hr)));
        std::string result =
            parseAndDescribe(m_manager.Get(), target, nullptr, state ? onStep : nullptr, state);
        std::error_code ec;
        fs::remove(target, ec);
        return result;
    }

    support::TempDir m_tempDir;
    const fs::path& m_dir = m_tempDir.path();
    ComPtr<IMediaFileIOMan> m_manager;
    std::vector<fs::path> m_reads;
    std::vector<WriteFormat> m_writeFormats;
    fs::path m_xmpSource, m_tagSource;
    std::vector<Job> m_jobs;
    std::vector<size_t> m_imageJobs;
};

// An image object parsed on one thread and finished on another.
struct HandOff {
    ComPtr<IMediaFileIO> object;
    size_t job;
};

TEST_F(StressSuite, ThreadsAgreeWithASingleThreadedPass)
{
    ASSERT_NO_FATAL_FAILURE(addSelfMadeFiles());
    addCorpusFiles();
    ASSERT_NO_FATAL_FAILURE(buildJobs());
    ASSERT_FALSE(m_imageJobs.empty());

    const long seconds = envNumber("MIO_STRESS_SECONDS", 20);
    const auto threads = static_cast<size_t>(envNumber("MIO_STRESS_THREADS", 8));
    std::vector<WorkerState> states(threads);
    std::mutex mutex; // guards failures and the hand-off queue
    std::vector<std::string> failures;
    std::deque<HandOff> handOffs;
    std::atomic<uint64_t> done{0}, handedOver{0}, writes{0};
    std::atomic<bool> stop{false};
    const int64_t deadline = nowMs() + seconds * 1000;

    auto fail = [&](size_t worker, const Job& job, const std::string& what) {
        std::lock_guard lock(mutex);
        failures.push_back("worker " + std::to_string(worker) + ", " + job.name + ": " + what);
        if (failures.size() >= 20) stop = true;
    };
    auto compare = [&](size_t worker, const Job& job, const std::string& got) {
        if (got != job.expected)
            fail(worker, job,
                 "answers differ from the single-threaded pass\n  expected: " + job.expected +
                     "\n  got:      " + got);
    };

    auto work = [&](size_t index) {
        WorkerState& state = states[index];
        std::minstd_rand random(static_cast<unsigned>(index * 7919 + 1));
        uint64_t iteration = 0;
        while (!stop && nowMs() < deadline) {
            onStep(&state, Phase::Idle);
            HandOff taken;
            {
                std::lock_guard lock(mutex);
                if (!handOffs.empty()) {
                    taken = std::move(handOffs.front());
                    handOffs.pop_front();
                }
            }
            if (taken.object) {
                const Job& job = m_jobs[taken.job];
                state.job = static_cast<int>(taken.job);
                compare(index, job,
                        "parse=00000000;" + describe(taken.object.Get(), onStep, &state));
                onStep(&state, Phase::Release);
                taken.object.Reset();
                ++handedOver;
                ++done;
                continue;
            }
            // One pick in four is a writer, so the few writer jobs are not drowned by the reads.
            const size_t readers = m_reads.size();
            const size_t writers = m_jobs.size() - readers;
            const size_t pick =
                writers && random() % 4 == 0 ? readers + random() % writers : random() % readers;
            const Job& job = m_jobs[pick];
            state.job = static_cast<int>(pick);
            const std::string tag = "w" + std::to_string(index) + "n" + std::to_string(iteration++);
            std::string failure, got;
            switch (job.kind) {
            case JobKind::Read: {
                const bool offerHandOff =
                    std::find(m_imageJobs.begin(), m_imageJobs.end(), pick) != m_imageJobs.end() &&
                    (random() & 1);
                if (!offerHandOff) {
                    compare(index, job,
                            parseAndDescribe(m_manager.Get(), job.path, nullptr, onStep, &state));
                    break;
                }
                onStep(&state, Phase::Parse);
                ComPtr<IMediaFileIO> object;
                const HRESULT hr =
                    m_manager->ParseFile(wide(job.path).c_str(), object.GetAddressOf());
                if (hr != S_OK || !isImageObject(object.Get())) {
                    fail(index, job, "ParseFile " + hex(static_cast<uint32_t>(hr)));
                    break;
                }
                std::lock_guard lock(mutex);
                handOffs.push_back({std::move(object), pick});
                continue; // finished, and counted, by whoever takes it
            }
            case JobKind::XmpCommit:
                got = xmpCommit(job, m_dir / (tag + ".jpg"), tag, &failure, &state);
                ++writes;
                break;
            case JobKind::TagSave:
                got = tagSave(job, m_dir / (tag + ".mp3"), tag, &failure, &state);
                ++writes;
                break;
            case JobKind::ImageWrite:
                got = imageWrite(job, m_dir / (tag + job.extension), &failure, &state);
                ++writes;
                break;
            }
            if (!failure.empty())
                fail(index, job, failure);
            else if (job.kind != JobKind::Read)
                compare(index, job, got);
            ++done;
        }
        onStep(&state, Phase::Idle);
        state.finished = true;
    };

    const auto started = Clock::now();
    {
        Watchdog watchdog(
            states,
            [this](int job) {
                return job < 0 ? std::string("no job") : m_jobs[static_cast<size_t>(job)].name;
            },
            envNumber("MIO_STRESS_STALL_SECONDS", 120));
        for (WorkerState& s : states)
            onStep(&s, Phase::Idle);
        std::vector<std::thread> pool;
        for (size_t i = 0; i < threads; ++i)
            pool.emplace_back(work, i);
        for (std::thread& t : pool)
            t.join();
    }
    // Objects still waiting for a taker are finished here: image objects serve any thread.
    for (HandOff& left : handOffs) {
        compare(threads, m_jobs[left.job], "parse=00000000;" + describe(left.object.Get()));
        left.object.Reset();
        ++handedOver;
        ++done;
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - started).count();

    for (const std::string& failure : failures)
        ADD_FAILURE() << failure;
    std::printf("stress: %zu threads, %zu files, %zu distinct jobs, %.1f s: %llu jobs done "
                "(%llu image objects finished on another thread, %llu writes)\n",
                threads, m_reads.size(), m_jobs.size(), elapsed,
                static_cast<unsigned long long>(done.load()),
                static_cast<unsigned long long>(handedOver.load()),
                static_cast<unsigned long long>(writes.load()));
    RecordProperty("threads", static_cast<int>(threads));
    RecordProperty("files", static_cast<int>(m_reads.size()));
    RecordProperty("jobs_done", static_cast<int>(done.load()));
    // Every worker must have got through work, or the run proved nothing.
    EXPECT_GE(done.load(), threads);
}

// A media object keeps the file libraries' lock on its own thread for its life: a parse of a
// library file on another thread waits for its release, while image objects, which take no
// library lock, are served meanwhile.
TEST_F(StressSuite, MediaObjectsTakeTurnsWhileImageObjectsPass)
{
    ASSERT_NO_FATAL_FAILURE(addSelfMadeFiles());
    const fs::path wav = m_dir / "made.wav";
    const fs::path other = m_dir / "other.wav";
    ASSERT_TRUE(writeWav(other, 11025, 3000));

    std::promise<void> heldPromise, releasePromise;
    auto held = heldPromise.get_future();
    auto release = releasePromise.get_future().share();
    HRESULT ownerHr = E_FAIL;
    bool ownerIsMedia = false;
    std::thread owner([&] {
        ComPtr<IMediaFileIO> object;
        ownerHr = m_manager->ParseFile(wide(wav).c_str(), object.GetAddressOf());
        ownerIsMedia = object && !isImageObject(object.Get());
        heldPromise.set_value();
        release.wait_for(std::chrono::seconds(120));
        object.Reset();
    });
    held.wait();
    ASSERT_EQ(ownerHr, S_OK);
    ASSERT_TRUE(ownerIsMedia);
    auto releaseOwner = [&, released = false]() mutable {
        if (!std::exchange(released, true)) releasePromise.set_value();
    };

    auto image = std::async(std::launch::async, [&] {
        ComPtr<IMediaFileIO> object;
        const HRESULT hr =
            m_manager->ParseFile(wide(m_dir / "made.png").c_str(), object.GetAddressOf());
        return hr == S_OK && isImageObject(object.Get()) ? thumbnailHash(object.Get()) : "";
    });
    const bool imageServed = image.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
    if (!imageServed) releaseOwner();
    ASSERT_TRUE(imageServed) << "an image object parse waited for another thread's media object";
    EXPECT_FALSE(image.get().empty());

    std::atomic<bool> secondDone{false};
    auto second = std::async(std::launch::async, [&] {
        ComPtr<IMediaFileIO> object;
        const HRESULT hr = m_manager->ParseFile(wide(other).c_str(), object.GetAddressOf());
        int32_t type = 0;
        if (hr == S_OK) object->GetFileType(&type);
        secondDone = true;
        return std::make_pair(hr, type);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_FALSE(secondDone) << "a library parse ran while another thread's media object lived";
    releaseOwner();
    owner.join();
    if (second.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
        // The waiting thread cannot be joined; end the run rather than hang it.
        std::fprintf(stderr, "the library lock stayed held after the owner released its object\n");
        std::abort();
    }
    const auto [hr, type] = second.get();
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(type, 2); // audio only
}

// The image object serves several threads at once (its own lock orders the calls): each sees
// the answers of a lone caller, and thumbnail requests interleave without failing.
TEST_F(StressSuite, OneImageObjectServesThreadsAtOnce)
{
    ASSERT_NO_FATAL_FAILURE(addSelfMadeFiles());
    fs::path path = support::corpusPathOrEmpty("jpeg/Canon_40D.jpg");
    if (path.empty()) path = m_dir / "made.jpg";
    ComPtr<IMediaFileIO> object;
    ASSERT_EQ(m_manager->ParseFile(wide(path).c_str(), object.GetAddressOf()), S_OK);
    ASSERT_TRUE(isImageObject(object.Get()));
    const std::string expected = describeWithoutThumbnails(object.Get());
    ASSERT_NE(expected.find("size=00000000;"), std::string::npos) << expected;

    const long iterations = envNumber("MIO_STRESS_SHARED_ITERATIONS", 40);
    std::atomic<int> mismatches{0}, thumbnailFailures{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < 4; ++t) {
        pool.emplace_back([&, t] {
            for (long i = 0; i < iterations; ++i) {
                if (describeWithoutThumbnails(object.Get()) != expected) ++mismatches;
                // The bitmap is not read: another thread's request may already have replaced it.
                PackedDib dib = nullptr;
                const int32_t side = 64 + 16 * t;
                if (object->GetPreviewThumbnail(&dib, side, side, (i & 1) != 0, FALSE) != S_OK ||
                    !dib)
                    ++thumbnailFailures;
            }
        });
    }
    for (std::thread& thread : pool)
        thread.join();
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_EQ(thumbnailFailures.load(), 0);
    PackedDib dib = nullptr;
    ASSERT_EQ(object->GetPreviewThumbnail(&dib, 160, 120, TRUE, FALSE), S_OK);
    ASSERT_NE(dib, nullptr);
    EXPECT_LE(dib->biWidth, 160);
    EXPECT_LE(dib->biHeight, 120);
}

} // namespace

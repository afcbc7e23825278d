// w4wpackbench [--repetitions N] PACKER TEMPLATE PAYLOAD DIR SIZE_MIB...
//
// Times the packer wrapping PAYLOAD, padded to each size, against cp copying the output it
// wrote: N rounds after one warm-up, the two in turns, each into a file that does not exist
// yet. Prints the medians and the packer's largest resident memory. Linux only: it reads
// the children's peak memory from wait4.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct Run {
    double ms;
    long peakKiB;
};

Run spawnAndWait(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        std::fprintf(stderr, "w4wpackbench: cannot start %s\n", argv[0]);
        std::exit(1);
    }
    int status = 0;
    rusage usage = {};
    wait4(pid, &status, 0, &usage);
    const auto end = std::chrono::steady_clock::now();
    posix_spawn_file_actions_destroy(&actions);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "w4wpackbench: %s failed\n", argv[0]);
        std::exit(1);
    }
    return {std::chrono::duration<double, std::milli>(end - start).count(), usage.ru_maxrss};
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// The payload with bytes after its image up to size: it stays a runnable program.
void padded(const fs::path& from, const fs::path& to, std::uintmax_t size) {
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
    std::ofstream out(to, std::ios::binary | std::ios::app);
    std::mt19937 random(1);
    std::vector<std::uint32_t> block(1 << 10);
    const std::size_t blockSize = block.size() * 4;
    for (std::uintmax_t at = fs::file_size(from); at < size; at += blockSize) {
        for (std::uint32_t& word : block) {
            word = random();
        }
        const std::uintmax_t part = std::min<std::uintmax_t>(size - at, blockSize);
        out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(part));
    }
}

} // namespace

int main(int argc, char** argv) {
    int repetitions = 9;
    int first = 1;
    if (argc > 2 && std::string(argv[1]) == "--repetitions") {
        repetitions = std::atoi(argv[2]);
        first = 3;
    }
    if (argc - first < 5 || repetitions < 5) {
        std::fprintf(stderr, "usage: w4wpackbench [--repetitions N>=5] PACKER TEMPLATE PAYLOAD DIR SIZE_MIB...\n");
        return 2;
    }
    const std::string packer = argv[first];
    const std::string templatePath = argv[first + 1];
    const fs::path dir = argv[first + 3];
    std::printf("Cases      pack  w4wpack TEMPLATE PAYLOAD OUT, start to end\n"
                "           copy  cp OUT COPY\n"
                "Rounds     %d after one warm-up, medians\n",
                repetitions);
    for (int i = first + 4; i < argc; ++i) {
        const int mib = std::atoi(argv[i]);
        const fs::path payload = dir / ("payload-" + std::to_string(mib) + ".exe");
        const fs::path out = dir / "out.exe";
        const fs::path copy = dir / "copy.exe";
        padded(argv[first + 2], payload, std::uintmax_t(mib) << 20);
        std::vector<double> pack;
        std::vector<double> cp;
        long peak = 0;
        for (int round = 0; round <= repetitions; ++round) {
            // New files each time: replacing one makes ext4 write the old one's data first.
            fs::remove(out);
            fs::remove(copy);
            const Run p = spawnAndWait({packer, templatePath, payload.string(), out.string()});
            const Run c = spawnAndWait({"cp", out.string(), copy.string()});
            if (round > 0) {
                pack.push_back(p.ms);
                cp.push_back(c.ms);
                peak = std::max(peak, p.peakKiB);
            }
        }
        std::printf("bench-pack size_mib=%d payload_bytes=%llu pack_ms=%.1f copy_ms=%.1f ratio=%.2f "
                    "pack_min_ms=%.1f copy_min_ms=%.1f peak_rss_mib=%.1f\n",
                    mib, static_cast<unsigned long long>(fs::file_size(payload)), median(pack), median(cp),
                    median(pack) / median(cp), *std::min_element(pack.begin(), pack.end()),
                    *std::min_element(cp.begin(), cp.end()), peak / 1024.0);
        fs::remove(out);
        fs::remove(copy);
        fs::remove(payload);
    }
    return 0;
}

#include "TestSupport.h"

#include "Log.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <regex>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;

namespace testsupport {

namespace {

std::string getEnv(const std::string& name, bool& existed) {
    char buffer[32768];
    const DWORD n = GetEnvironmentVariableA(name.c_str(), buffer, sizeof buffer);
    existed = n > 0 && n < sizeof buffer;
    return existed ? std::string(buffer, n) : std::string();
}

std::string baseTempDir() {
    char buffer[MAX_PATH + 1];
    const DWORD n = GetTempPathA(sizeof buffer, buffer);
    if (n == 0 || n > MAX_PATH) {
        throw std::runtime_error("GetTempPathA failed");
    }
    std::string dir(buffer, n);
    while (!dir.empty() && (dir.back() == '\\' || dir.back() == '/')) {
        dir.pop_back();
    }
    return dir;
}

} // namespace

TempDir::TempDir() {
    // The base is read once, before any test points TMP elsewhere.
    static const std::string base = baseTempDir();
    static unsigned counter = 0;
    for (;;) {
        dir = base + "\\w4wtest-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++counter);
        if (CreateDirectoryA(dir.c_str(), nullptr)) {
            break;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS) {
            throw std::runtime_error("cannot create " + dir);
        }
    }
    bool ignored = false;
    savedTmp = getEnv("TMP", ignored);
    savedTemp = getEnv("TEMP", ignored);
    SetEnvironmentVariableA("TMP", dir.c_str());
    SetEnvironmentVariableA("TEMP", dir.c_str());
}

TempDir::~TempDir() {
    SetEnvironmentVariableA("TMP", savedTmp.c_str());
    SetEnvironmentVariableA("TEMP", savedTemp.c_str());
    std::error_code ignored;
    // Read-only files would stop remove_all.
    for (auto it = fs::recursive_directory_iterator(dir, ignored); it != fs::recursive_directory_iterator();
         it.increment(ignored)) {
        SetFileAttributesA(it->path().string().c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    fs::remove_all(dir, ignored);
}

ScopedEnv::ScopedEnv(const std::string& name, const std::string& value) : name(name) {
    saved = getEnv(name, existed);
    SetEnvironmentVariableA(name.c_str(), value.c_str());
}

ScopedEnv::~ScopedEnv() {
    SetEnvironmentVariableA(name.c_str(), existed ? saved.c_str() : nullptr);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        ADD_FAILURE() << "cannot read " << path;
        return std::string();
    }
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out.flush()) {
        throw std::runtime_error("cannot write " + path);
    }
}

bool exists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<std::string> listDir(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(dir, ignored)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string programPath(const std::string& fileName) {
    char buffer[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, buffer, sizeof buffer);
    std::string self(buffer, n);
    return self.substr(0, self.find_last_of("\\/") + 1) + fileName;
}

void wrap(const std::string& payload, const std::string& output, const std::string& options) {
    const std::string commandLine =
        "w4wpack " + options + " \"" + programPath("wrapper4wrapper.exe") + "\" \"" + payload + "\" \"" + output + "\"";
    if (runProcess(programPath("w4wpack.exe"), commandLine) != 0) {
        throw std::runtime_error("w4wpack could not wrap " + payload);
    }
}

std::vector<std::string> leftovers(const std::string& temp) {
    std::vector<std::string> names = listDir(temp);
    names.erase(std::remove(names.begin(), names.end(), "vextrel.log"), names.end());
    return names;
}

namespace {

// Made at the first start and never closed by this program: the system closes it when the
// program ends, however it ends, and so ends every process in it.
HANDLE testProgramJob() {
    static const HANDLE job = [] {
        const HANDLE made = CreateJobObjectW(nullptr, nullptr);
        if (made == nullptr) {
            throw std::runtime_error("CreateJobObject failed: error " + std::to_string(GetLastError()));
        }
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (!SetInformationJobObject(made, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
            throw std::runtime_error("SetInformationJobObject failed: error " + std::to_string(GetLastError()));
        }
        return made;
    }();
    return job;
}

// Windows 10's PROC_THREAD_ATTRIBUTE_JOB_LIST, which headers aimed at Windows 7 leave out.
constexpr DWORD_PTR jobListAttribute = 13 | PROC_THREAD_ATTRIBUTE_INPUT;

// The child is in the job from its creation, so that no moment exists in which this program
// can end and leave it outside (under Wine a creation takes tens of milliseconds, long enough
// for ctest's timeout to fall into). Where the system refuses that, it starts suspended and is
// put in before it runs an instruction. stdHandles: input, output and error to pass, or none.
AutoProcess startInJob(const std::wstring& application, const std::wstring& commandLine, bool suspended,
                       const HANDLE* stdHandles = nullptr, const std::wstring& dir = std::wstring()) {
    HANDLE jobHandle = testProgramJob();
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<char> attributes(size);
    const auto list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributes.data());
    const bool listMade = size > 0 && InitializeProcThreadAttributeList(list, 1, 0, &size);
    bool inJobAtCreation = listMade && UpdateProcThreadAttribute(list, 0, jobListAttribute, &jobHandle,
                                                                 sizeof jobHandle, nullptr, nullptr);
    STARTUPINFOEXW startup = {};
    startup.StartupInfo.cb = sizeof startup;
    if (stdHandles != nullptr) {
        startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
        startup.StartupInfo.hStdInput = stdHandles[0];
        startup.StartupInfo.hStdOutput = stdHandles[1];
        startup.StartupInfo.hStdError = stdHandles[2];
    }
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(L'\0');
    PROCESS_INFORMATION started = {};
    const auto create = [&](bool withJob) {
        startup.lpAttributeList = withJob ? list : nullptr;
        const DWORD flags =
            withJob ? EXTENDED_STARTUPINFO_PRESENT | (suspended ? CREATE_SUSPENDED : 0) : CREATE_SUSPENDED;
        return CreateProcessW(application.c_str(), line.data(), nullptr, nullptr, stdHandles != nullptr, flags, nullptr,
                              dir.empty() ? nullptr : dir.c_str(), &startup.StartupInfo, &started) != FALSE;
    };
    bool created = inJobAtCreation && create(true);
    if (!created) {
        inJobAtCreation = false;
        created = create(false);
    }
    const DWORD error = GetLastError();
    if (listMade) {
        DeleteProcThreadAttributeList(list);
    }
    if (!created) {
        throw std::runtime_error("cannot start " + tstrings::toUtf8(application) + ": error " + std::to_string(error));
    }
    AutoProcess child(started);
    if (!inJobAtCreation) {
        if (!AssignProcessToJobObject(jobHandle, child.process())) {
            const DWORD assignError = GetLastError();
            TerminateProcess(child.process(), 1);
            throw std::runtime_error("AssignProcessToJobObject failed: error " + std::to_string(assignError));
        }
        if (!suspended && ResumeThread(child.thread()) == static_cast<DWORD>(-1)) {
            throw std::runtime_error("ResumeThread failed: error " + std::to_string(GetLastError()));
        }
    }
    return child;
}

DWORD waitForExitCode(HANDLE process) {
    const DWORD waited = WaitForSingleObject(process, programEndsWithinMs);
    if (waited == WAIT_TIMEOUT) {
        throw std::runtime_error("a started program did not end within " + std::to_string(programEndsWithinMs / 1000) +
                                 " s; it is ended with its job");
    }
    DWORD code = 0;
    if (waited != WAIT_OBJECT_0 || !GetExitCodeProcess(process, &code)) {
        throw std::runtime_error("cannot wait for a started program: error " + std::to_string(GetLastError()));
    }
    return code;
}

} // namespace

namespace {

// Ends the program if it still runs.
void end(HANDLE process) {
    if (WaitForSingleObject(process, 0) == WAIT_TIMEOUT) {
        TerminateProcess(process, 1);
        WaitForSingleObject(process, programEndsWithinMs);
    }
}

} // namespace

Process::Process(const std::wstring& application, const std::wstring& commandLine, bool suspended)
    : child(startInJob(application, commandLine, suspended)) {}

Process::~Process() {
    end(child.process());
}

void Process::resume() {
    if (ResumeThread(child.thread()) == static_cast<DWORD>(-1)) {
        throw std::runtime_error("ResumeThread failed: error " + std::to_string(GetLastError()));
    }
}

DWORD Process::wait() {
    return waitForExitCode(child.process());
}

struct PipedProcess::Reader {
    explicit Reader(AutoHandle pipe) : pipe(std::move(pipe)), done(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
        thread = std::thread([this] {
            char buffer[4096];
            DWORD n = 0;
            while (ReadFile(this->pipe.get(), buffer, sizeof buffer, &n, nullptr) && n > 0) {
                const std::lock_guard<std::mutex> lock(mutex);
                text.append(buffer, n);
            }
            SetEvent(this->done.get());
        });
    }
    ~Reader() { thread.join(); }

    std::string read() {
        const std::lock_guard<std::mutex> lock(mutex);
        return text;
    }

    AutoHandle pipe;
    AutoHandle done;
    std::mutex mutex;
    std::string text;
    std::thread thread;
};

namespace {

// A pipe whose end for the child is inheritable and whose end for this process is not.
struct Pipe {
    explicit Pipe(bool childReads) : ours(nullptr), theirs(nullptr) {
        SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
        HANDLE read = nullptr;
        HANDLE write = nullptr;
        if (!CreatePipe(&read, &write, &inheritable, 0)) {
            throw std::runtime_error("CreatePipe failed: error " + std::to_string(GetLastError()));
        }
        ours = AutoHandle(childReads ? write : read);
        theirs = AutoHandle(childReads ? read : write);
        SetHandleInformation(ours.get(), HANDLE_FLAG_INHERIT, 0);
    }
    AutoHandle ours;
    AutoHandle theirs;
};

} // namespace

PipedProcess::PipedProcess(const std::wstring& application, const std::wstring& commandLine,
                           const std::string& workingDir)
    : input(nullptr) {
    Pipe toIn(true), fromOut(false), fromErr(false);
    input = std::move(toIn.ours);
    outReader = std::make_unique<Reader>(std::move(fromOut.ours));
    errReader = std::make_unique<Reader>(std::move(fromErr.ours));
    try {
        const HANDLE stdHandles[] = {toIn.theirs.get(), fromOut.theirs.get(), fromErr.theirs.get()};
        child = std::make_unique<AutoProcess>(
            startInJob(application, commandLine, false, stdHandles, tstrings::toUtf16(workingDir)));
    } catch (...) {
        input.reset();
        throw;
    }
}

PipedProcess::~PipedProcess() {
    input.reset();
    if (child) {
        WaitForSingleObject(child->process(), programEndsWithinMs);
        end(child->process());
    }
}

void PipedProcess::send(const std::string& data) {
    std::size_t done = 0;
    DWORD n = 0;
    while (done < data.size() &&
           WriteFile(input.get(), data.data() + done, static_cast<DWORD>(data.size() - done), &n, nullptr) && n > 0) {
        done += n;
    }
    input.reset();
}

bool PipedProcess::outputClosed(DWORD ms) {
    const HANDLE both[] = {outReader->done.get(), errReader->done.get()};
    return WaitForMultipleObjects(2, both, TRUE, ms) == WAIT_OBJECT_0;
}

std::string PipedProcess::out() {
    return outReader->read();
}

std::string PipedProcess::err() {
    return errReader->read();
}

DWORD PipedProcess::wait() {
    input.reset();
    const DWORD code = waitForExitCode(child->process());
    // Whatever still holds them was started by the program and outlived it.
    if (!outputClosed(programEndsWithinMs)) {
        throw std::runtime_error("the program ended but its output stayed open: something it started still runs");
    }
    return code;
}

Captured runPiped(const std::wstring& application, const std::wstring& commandLine, const std::string& input,
                  const std::string& workingDir) {
    PipedProcess process(application, commandLine, workingDir);
    process.send(input);
    Captured captured;
    captured.exitCode = process.wait();
    captured.out = process.out();
    captured.err = process.err();
    return captured;
}

DWORD runProcess(const std::string& application, const std::string& commandLine, const std::string& workingDir) {
    const AutoProcess child = startInJob(tstrings::ansiToUtf16(application), tstrings::ansiToUtf16(commandLine), false,
                                         nullptr, tstrings::ansiToUtf16(workingDir));
    return waitForExitCode(child.process());
}

ProbeReport readProbeReport(const std::string& path) {
    try {
        return parseProbeReport(readFile(path));
    } catch (const std::exception& e) {
        ADD_FAILURE() << e.what() << ": " << path;
        return ProbeReport();
    }
}

std::vector<LogRecord> readLog(const std::string& path) {
    const std::string text = readFile(path);
    // Two lines per record, each ending in CR LF; the message may hold line breaks of its own.
    static const std::regex header(
        R"(\[(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\.\d{3}, (.*) \(PID: \d+, TID: \d+\), ([^:\r\n]*):(\d+) \((.*)\))\]\r\n\t([A-Z]+): )");
    std::vector<LogRecord> records;
    auto begin = std::sregex_iterator(text.begin(), text.end(), header);
    std::string::size_type expected = 0;
    for (auto it = begin; it != std::sregex_iterator(); ++it) {
        const std::smatch& m = *it;
        if (static_cast<std::string::size_type>(m.position()) != expected) {
            ADD_FAILURE() << "unexpected text before a record in " << path << " at offset " << expected;
        }
        LogRecord record;
        record.header = m[1];
        record.processName = m[2];
        record.sourceFile = m[3];
        record.line = static_cast<unsigned>(std::stoul(m[4]));
        record.function = m[5];
        record.level = m[6];
        const std::string::size_type start = m.position() + m.length();
        auto next = std::next(it);
        const std::string::size_type end = next == std::sregex_iterator() ? text.size() : next->position();
        std::string message = text.substr(start, end - start);
        if (message.size() < 2 || message.compare(message.size() - 2, 2, "\r\n") != 0) {
            ADD_FAILURE() << "record without CR LF at its end in " << path;
        } else {
            message.resize(message.size() - 2);
        }
        record.message = message;
        records.push_back(record);
        expected = end;
    }
    if (expected != text.size()) {
        ADD_FAILURE() << "text that is not a record in " << path;
    }
    return records;
}

std::vector<LogRecord> readLogIfAny(const std::string& path) {
    return exists(path) ? readLog(path) : std::vector<LogRecord>();
}

std::vector<LogRecord> failuresIn(const std::vector<LogRecord>& records) {
    std::vector<LogRecord> failures;
    std::copy_if(records.begin(), records.end(), std::back_inserter(failures),
                 [](const LogRecord& r) { return r.level != "TRACE"; });
    return failures;
}

namespace {

using UnixFileName = char*(CDECL*)(LPCWSTR);

UnixFileName wineUnixFileName() {
    return reinterpret_cast<UnixFileName>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("kernel32"), "wine_get_unix_file_name")));
}

} // namespace

std::string unixPath(const std::string& path) {
    if (wineUnixFileName() == nullptr) {
        return std::string();
    }
    char* name = wineUnixFileName()(tstrings::toUtf16(path).c_str());
    const std::string result = name != nullptr ? name : "";
    HeapFree(GetProcessHeap(), 0, name);
    return result;
}

bool runUnixUntil(const std::string& program, const std::string& args, const std::function<bool()>& done) {
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    std::string line = program + " " + args;
    const std::string application = "Z:\\bin\\" + program;
    if (!CreateProcessA(application.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        return false;
    }
    const AutoProcess child(process);
    for (int i = 0; i < 500 && !done(); ++i) {
        Sleep(10);
    }
    return done();
}

Link::Link(const std::string& target, const std::string& link) : link(link) {
    if (wineUnixFileName() == nullptr) {
        const DWORD attributes = GetFileAttributesA(target.c_str());
        const DWORD directory = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0
                                    ? SYMBOLIC_LINK_FLAG_DIRECTORY
                                    : 0;
        // 0x2: allowed without privilege where developer mode is on.
        CreateSymbolicLinkA(link.c_str(), target.c_str(), directory | 0x2);
    } else {
        const std::string::size_type slash = link.find_last_of('\\');
        unixLink = unixPath(link.substr(0, slash)) + "/" + link.substr(slash + 1);
        runUnixUntil("ln", "-s \"" + unixPath(target) + "\" \"" + unixLink + "\"", [this] { return taken(); });
    }
}

Link::~Link() {
    if (unixLink.empty()) {
        if (!RemoveDirectoryA(link.c_str())) {
            DeleteFileA(link.c_str());
        }
    } else {
        runUnixUntil("rm", "-f \"" + unixLink + "\"", [this] { return !taken(); });
    }
}

bool Link::made() const {
    return exists(link);
}

// Also when the link is dangling, which Wine neither lists nor reports: the name cannot be
// created anew.
bool Link::taken() const {
    const HANDLE probe =
        CreateFileA(link.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (probe == INVALID_HANDLE_VALUE) {
        return GetLastError() != ERROR_PATH_NOT_FOUND;
    }
    CloseHandle(probe);
    return false;
}

std::unique_ptr<Link> replaceWithLink(const std::string& dir, const std::string& target) {
    const std::string from = unixPath(dir);
    runUnixUntil("mv", "\"" + from + "\" \"" + from + ".away\"", [&] { return !exists(dir); });
    return std::make_unique<Link>(target, dir);
}

LogCapture::LogCapture(const TempDir& dir) : file(dir.file("vextrel.log")), saved(logger.file()) {
    logger.setFile(tstrings::toUtf16(file));
}

LogCapture::~LogCapture() {
    logger.setFile(saved);
}

std::vector<LogRecord> LogCapture::records() const {
    return readLogIfAny(file);
}

std::vector<LogRecord> LogCapture::take() {
    std::vector<LogRecord> taken = records();
    DeleteFileA(file.c_str());
    return taken;
}

} // namespace testsupport

#pragma once
// A run that is interrupted (SIGINT, SIGTERM, SIGHUP) removes the files it
// created itself and has not finished, then ends by the same signal so that
// its parent sees the conventional status. Exclusive creation registers a
// file, removal through the platform forgets it, and a finished output that
// must stay is handed over with KeepCreatedFile.
#include <filesystem>
#include <functional>

// Installs the handlers; the executable calls it once, before any work.
void InstallInterruptCleanup();

// The file at `path` is complete and stays, even if the run is interrupted now.
void KeepCreatedFile(const std::filesystem::path& path);

// Removes the registered files and ends the process at once with `status`,
// without unwinding or exit handlers: the main thread may be deep inside
// kernel work that cannot be unwound. Safe to call from any thread.
[[noreturn]] void EndProcessNow(int status);

// For the file layer. Runs `create` with interruption deferred and registers
// `path` when it returns true, so a file never exists unregistered. Returns
// what `create` returned.
bool CreateRegisteredFile(const std::filesystem::path& path, const std::function<bool()>& create);
void ForgetCreatedFile(const std::filesystem::path& path);

#pragma once
// MVRtvcDownFileManager: the process-wide resource cache. It decides which catalogue files are
// missing from the cache directory "MVRtvcFile" (inside the user's caches directory), downloads
// them one at a time, moves each finished file into place, reports one progress fraction per
// batch, and answers where a reference's local copy is.
//
// Threads: every operation may be called from any thread. The manager's state lives on the
// platform main queue: an operation called elsewhere runs there and waits for it (so do not call
// the manager from a task the main queue itself waits on). Every callback runs on the main queue.
//
// Files: a reference (a download URL) is cached under its last path component (see
// down_file_rules.h); a reference that yields an unsafe name cannot be cached and fails. A file
// appears in the cache only whole: downloads are written under "MVRtvcFile/.partial" and renamed
// into place once complete and answered with an HTTP status of 200-299.
//
// Downloads: one file in flight at a time, for batches and single downloads alike (later
// requests wait their turn). GET with "Accept: application/octet-stream" and no other header; a
// stall limit of 60 s (the environment variable MVSDK_DOWNLOAD_STALL_SECONDS lowers it, for
// tests) and a total limit of 300 s per file. Each download is reported exactly once.
//
// Batches: prepared by checkEngineFiles / changeEngineSpeakerFiles, run by
// startDownloadEngineFiles. A batch started while another runs waits for it; each batch reports
// its own completion exactly once, and fails (naming the failed references) when any file failed.
//
// Lifetime: made by create() (or sharedManager(), one per process) and owned by shared_ptr;
// work in flight holds it weakly and does nothing once it is gone.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/error.h"

namespace mvsdk {

inline constexpr const char* kDownFileErrorDomain = "MVRtvcDownFileManager";

// Error codes of domain kDownFileErrorDomain. Directory, move and transport failures keep the
// platform's own domain ("filesystem", "libcurl").
inline constexpr std::int64_t kDownFileNoCacheDirectory = -1;  // "Unable to get cache directory"
inline constexpr std::int64_t kDownFileInvalidURL = -2;         // "Invalid URL"
inline constexpr std::int64_t kDownFileNoTask = -3;             // "Unable to create download task"
inline constexpr std::int64_t kDownFileNoTemporaryFile = -3;    // "Download file location invalid"
inline constexpr std::int64_t kDownFileNoTargetPath = -4;       // "Target file path invalid"
// -6: "Source file does not exist" (the finished download's file is gone before the move), or
// "Download completed but file does not exist" (a transfer ended without leaving a file).
inline constexpr std::int64_t kDownFileSourceMissing = -6;
inline constexpr std::int64_t kDownFileMoveFailed = -7;         // "Failed to move file"
inline constexpr std::int64_t kDownFileMissingAfterMove = -8;   // "File does not exist after move"
inline constexpr std::int64_t kDownFileInvalidFileName = -9;    // "Invalid file name"
inline constexpr std::int64_t kDownFileHttpStatus = -10;        // "Download failed with HTTP status N"
// "Downloaded N bytes, expected M": the body's length differs from the catalogue's exact size.
inline constexpr std::int64_t kDownFileSizeMismatch = -11;

// The batch completion's message when a batch is started while another is running and nothing
// new was prepared for it.
inline constexpr const char* kDownFileBatchRunningMessage = "A download batch is already running";
// Start of a failed batch's message; the failed references and their error texts follow.
inline constexpr const char* kDownFileBatchFailedPrefix = "Some files failed to download: ";

// One catalogue file to check: its reference and, when known, its expected size in bytes. With
// exactSize the size is the file's true length (a weight file's catalogue size): a download of
// any other length fails and nothing is cached. Otherwise the size is only counted.
struct MVRtvcDownFileEntry {
  std::string filePath;
  std::optional<std::int64_t> size;
  bool exactSize = false;
};

class MVRtvcDownFileManager {
 public:
  using ProgressBlock = std::function<void(float fraction)>;
  using BatchCompleteBlock = std::function<void(bool success, const std::string& message)>;
  using FileCompleteBlock = std::function<void(bool success, const std::optional<Error>& error)>;

  // The process-wide manager, made on first use; it lives for the process.
  static std::shared_ptr<MVRtvcDownFileManager> sharedManager();
  // A manager of its own (tests). Managers share the cache directory, not their downloads.
  static std::shared_ptr<MVRtvcDownFileManager> create();

  ~MVRtvcDownFileManager();
  MVRtvcDownFileManager(const MVRtvcDownFileManager&) = delete;
  MVRtvcDownFileManager& operator=(const MVRtvcDownFileManager&) = delete;

  // Queues, in list order and once each, the references that are not cached (empty ones are
  // skipped) and prepares them as the next batch (replacing a batch prepared but not started).
  // Files of a running batch are queued again if still missing: the new batch then waits for the
  // running one and counts them as done if it brought them. allSize / fileSizeMap record the
  // queued entries' sizes; an entry with exactSize and a positive size is downloaded only at that
  // length. True when a batch was prepared; false when nothing is missing (the
  // prepared batch, if any, stays). totalSize is not used.
  bool checkEngineFiles(const std::vector<MVRtvcDownFileEntry>& files, std::int64_t totalSize);
  // The same from JSON: an array of objects with "filePath" (string) and "size" (number); other
  // elements and mistyped values are skipped or left unknown.
  bool checkEngineFiles(const nlohmann::json& files, std::int64_t totalSize);

  // Prepares a batch of exactly these references (in this order; a batch not yet started is
  // replaced). Shares: see download_shares().
  void changeEngineSpeakerFiles(const std::vector<std::string>& references);

  // Starts the prepared batch with these callbacks (either may be empty). Progress reports the
  // batch fraction (0-1; 1.0 last, just before completion); completion reports (true, "") or
  // (false, kDownFileBatchFailedPrefix + "ref: error; ref: error"). A batch started while another
  // runs waits for it. Without a prepared batch: when a batch runs, completion gets
  // (false, kDownFileBatchRunningMessage); otherwise progress(1.0) and completion(true, "").
  void startDownloadEngineFiles(ProgressBlock progress, BatchCompleteBlock complete);

  // Downloads one reference into the cache (after any download in flight). progress gets the
  // file's fraction, only when the server announced a length; complete is called exactly once:
  // (true, nullopt) when the file is in the cache (at once when it was already), else
  // (false, error).
  void downloadFile(const std::string& reference, ProgressBlock progress, FileCompleteBlock complete);

  // The local path of the reference's cached file when it exists, else "" (never the would-be
  // path). Reads only the file system: callable from any thread without waiting.
  std::string getFilePath(const std::string& reference) const;
  // The user's caches directory, or nullopt when there is none.
  std::optional<std::filesystem::path> getCachePath() const;

  // Deletes the whole cache directory and resets the batch bookkeeping. True when it is gone (or
  // never existed). False with no caches directory, on a deletion error, or while a download or
  // batch is in progress (nothing is touched then).
  bool cleanAllFiles();

  // A batch or a download is in progress or waiting.
  bool isDownloading() const;

  // A copy of the bookkeeping, for inspection: the batch running, else the one prepared, else the
  // last one finished (all zero after cleanAllFiles).
  struct State {
    std::vector<std::string> downStringArray;  // the batch's references, in download order
    std::int64_t downNum = 0;                  // index of the entry being handled
    float allProgress = 0.0f;                  // fraction completed
    float currProgress = 0.0f;                 // fraction of the file in flight
    float binProgress = 0.0f;                  // share of all weight files
    float speakerProgress = 1.0f;              // share of all speaker files
    std::int64_t binCount = 0;
    std::int64_t speakerCount = 0;
    std::int64_t allSize = 0;                               // sizes queued by the last check
    std::map<std::string, std::int64_t> fileSizeMap;        // the same, per reference
    std::string currentDownloadURL;                         // "" when no file is in flight
    std::string currentDownloadPath;
  };
  State state() const;

 private:
  MVRtvcDownFileManager();
  struct Impl;
  std::shared_ptr<Impl> impl_;  // shared so work in flight can hold it weakly
};

}  // namespace mvsdk

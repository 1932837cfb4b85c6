// TreeHash: linear SHA-256 and the Glacier tree hash of files and buffers.
// Threads: any thread; file hashing spreads over worker threads it starts and joins before it
//   returns, and progress is called on the calling thread. A ChunkStream has one owner.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "foundation/Error.h"
#include "interfaces/files/Sha256.h"

namespace quillon {

// SHA-256 digests of files and buffers, and the Glacier tree hash: the SHA-256 of every
// 1 MiB chunk, combined pairwise level by level up to one root digest. Hexadecimal results are
// lower case, as the service writes them.
class TreeHash {
  public:
    static constexpr std::int64_t kChunkSize = 1048576;

    // Called on the calling thread after each block read with the percentage done (0-100);
    // returning false stops the work.
    using Progress = std::function<bool(int percent)>;

    struct Options {
        // The window of the file to hash: from `offset`, `length` bytes (-1: to the end).
        // A window reaching past the end of the file is cut at the end.
        std::int64_t offset = 0;
        std::int64_t length = -1;
        // Hashing threads: 0 for one per core, 1 for hashing on the calling thread only.
        unsigned threads = 0;
        Progress progress;
    };

    // The linear SHA-256 of a file (or window) and its chunk digests, from one read.
    struct FileDigests {
        std::string sha256;
        std::vector<Sha256Digest> chunks;
    };

    // The chunk digests of bytes that arrive piece by piece, for example from a socket.
    // One object per stream, used on one thread at a time.
    class ChunkStream {
      public:
        void update(const void* data, std::size_t size);
        // The digests as chunkHashesOfBuffer gives them for all the bytes (no bytes: one
        // chunk, the digest of nothing); the stream then starts over, empty.
        std::vector<Sha256Digest> finish();

      private:
        Sha256 chunk_;
        std::size_t inChunk_ = 0;
        std::vector<Sha256Digest> digests_;
    };

    static std::string sha256Hex(std::string_view bytes);
    static std::string sha256Hex(const Bytes& bytes);

    // Linear SHA-256 of a whole file, or of the window of the options (threads and progress
    // apply too). None with the error set when the file cannot be read, none without error
    // when the progress callback stopped the work.
    static std::optional<std::string> sha256OfFile(const std::string& path,
                                                   ErrorPtr* error = nullptr);
    static std::optional<std::string> sha256OfFile(const std::string& path, const Options& options,
                                                   ErrorPtr* error = nullptr);

    // The digest of every 1 MiB chunk of a file (the last one may be shorter), read once with
    // large sequential reads and hashed on all cores. An empty file (or window) has one chunk:
    // the digest of no bytes. When the progress callback stops the work the list is EMPTY,
    // never partial; a file that cannot be read gives an empty list and the error.
    static std::vector<Sha256Digest> chunkHashes(const std::string& path,
                                                 const Progress& progress = {},
                                                 ErrorPtr* error = nullptr);
    static std::vector<Sha256Digest> chunkHashes(const std::string& path, const Options& options,
                                                 ErrorPtr* error = nullptr);
    // Hashes on the calling thread only.
    static std::vector<Sha256Digest> chunkHashesSingleThreaded(const std::string& path,
                                                               const Progress& progress = {},
                                                               ErrorPtr* error = nullptr);
    static std::vector<Sha256Digest> chunkHashesOfBuffer(std::string_view bytes);

    // Both digests in one pass over the file; none as for sha256OfFile.
    static std::optional<FileDigests> hashFile(const std::string& path, const Options& options,
                                               ErrorPtr* error = nullptr);

    // The root of the tree over chunk digests, in hexadecimal; "" for an empty list.
    static std::string treeHash(const std::vector<Sha256Digest>& chunkDigests);
    static std::optional<Sha256Digest> treeHashDigest(std::vector<Sha256Digest> chunkDigests);

    // Tree hash of a whole file: none with the error set when it cannot be read, none without
    // error when stopped.
    static std::optional<std::string> treeHashOfFile(const std::string& path,
                                                     const Progress& progress = {},
                                                     ErrorPtr* error = nullptr);
    static std::string treeHashOfBuffer(std::string_view bytes);
};

}  // namespace quillon

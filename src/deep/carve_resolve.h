#pragma once
// Which followed headers are files of their own: taken in drive order, one that begins in a
// file the list holds already is that file, one that begins inside a carved file is part of
// it (a photo's thumbnail, a ZIP in a ZIP).

#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

#include "deep/carve_follow.h"

namespace relicta::deep {

// Stretches of the drive, each with whose it is; a stretch added over others keeps only the
// bytes no other holds.
class ByteSpans {
  public:
    static constexpr std::size_t kNoOwner = SIZE_MAX;
    void Add(int64_t offset, uint64_t length, std::size_t owner = kNoOwner);
    // Whose the byte at `offset` is; kNoOwner when nobody's, or not told.
    bool Contains(int64_t offset) const { return Find(offset) != spans_.end(); }
    std::size_t OwnerOf(int64_t offset) const;
    // Whether any byte of [offset, offset + length) is held.
    bool Overlaps(int64_t offset, uint64_t length) const;
    bool Empty() const { return spans_.empty(); }

  private:
    struct Span {
        int64_t end = 0;
        std::size_t owner = kNoOwner;
    };
    std::map<int64_t, Span>::const_iterator Find(int64_t offset) const;
    std::map<int64_t, Span> spans_;
};

// Where the files the list holds already lie: the bytes known to be theirs (a run list, a
// chain, a first cluster), and the runs only guessed from a first cluster and a size (a FAT
// file whose chain is gone), each owned by an index into `guessedFamilies`.
struct ListedFiles {
    ByteSpans known;
    ByteSpans guessed;
    std::vector<content::Family> guessedFamilies;  // what each guessed file's name promises
};

class CarveResolver {
  public:
    explicit CarveResolver(const ListedFiles& listed) : listed_(listed) {}

    enum class Fate { Kept, Listed, Embedded, Refused };
    // Decides on the next header, in drive order (at one sector, in the formats' order). In a
    // listed file's guessed run, only a whole file of another kind than its name promises
    // is a file of its own: the guess ran over it.
    Fate Take(CarvedFile carved);
    // Whether what following the header at `offset` of format `format` gives cannot change
    // what Take decides: it begins in a listed file, or in a kept one that needs nothing more
    // of what lies inside it.
    bool Decided(int64_t offset, std::size_t format) const;
    std::vector<CarvedFile>& Kept() { return kept_; }

  private:
    bool IsListed(const CarvedFile& carved) const;

    const ListedFiles& listed_;
    ByteSpans keptSpans_;
    std::vector<CarvedFile> kept_;
};

}  // namespace relicta::deep

// KeyedCoding: the interface of an object that writes itself into a keyed archive.
// Threads: no state of its own; the implementer's rules apply.
#pragma once

namespace quillon {

class KeyedArchiver;

// An object that writes itself into a keyed archive. Reading back is the job of a factory
// handed to KeyedUnarchiver under the archived class name.
class KeyedCoding {
  public:
    virtual ~KeyedCoding() = default;
    virtual void encode(KeyedArchiver& coder) const = 0;
};

}  // namespace quillon

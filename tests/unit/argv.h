// An argument vector as the program gets it from its process, for the unit
// tests and the fuzz targets: argument 0 is the program name, and every
// argument lives in a heap block of exactly its size, so a read past its
// terminator is caught, and may be written, as the process's own arguments may.
#pragma once

#include <cstring>
#include <memory>
#include <string>
#include <vector>

class Argv {
  public:
    // `args` are the arguments after the program name.
    explicit Argv(const std::vector<std::string>& args) {
        Add("rckrv48");
        for (const std::string& a : args) {
            Add(a);
        }
        pointers_.push_back(nullptr);
    }
    int Count() const { return static_cast<int>(blocks_.size()); }
    char** Get() { return pointers_.data(); }

  private:
    void Add(const std::string& a) {
        blocks_.emplace_back(new char[a.size() + 1]);
        std::memcpy(blocks_.back().get(), a.c_str(), a.size() + 1);
        pointers_.push_back(blocks_.back().get());
    }
    std::vector<std::unique_ptr<char[]>> blocks_;
    std::vector<char*> pointers_;
};

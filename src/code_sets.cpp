#include "src/code_sets.h"

#include "src/code_input.h"

namespace code_sets {

std::string csvRefusal(const char* csv, size_t size, std::vector<csv::Line>* lines) {
    std::vector<csv::Refused> refused;
    std::vector<csv::Line> taken = csv::parse(std::string(csv, size), &refused);
    code_input::judgeLines(&taken, &refused, nullptr);
    if (refused.empty()) {
        if (lines != nullptr) {
            *lines = std::move(taken);
        }
        return "";
    }
    std::string why = "CSV line " + std::to_string(refused[0].number) + ": " + refused[0].why;
    if (refused.size() > 1) {
        why += " (and " + std::to_string(refused.size() - 1) + " more lines refused)";
    }
    return why;
}

vsign::Verdict decide(const char* data, size_t size, const vsign::Unit& unit,
                      std::vector<csv::Line>* lines) {
    std::vector<csv::Line> taken;
    vsign::Verdict v = vsign::decide(
        data, size, unit, [&](const char* csv, size_t n) { return csvRefusal(csv, n, &taken); });
    if (v.outcome == vsign::SET_APPLY && lines != nullptr) {
        *lines = std::move(taken);
    }
    return v;
}

}  // namespace code_sets

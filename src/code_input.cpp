#include "src/code_input.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "src/pAccess.h"
#include "vutil/VText.h"

namespace code_input {

std::string matchRefusal(const char* column, const std::string& text) {
    const char* what = column[0] == 's' ? "the code " : "the reader name ";
    const char* refused = pAccess::refusal(column, SQL_TYPE_TEXT, text);
    if (refused != nullptr) {
        return what + std::string(refused);
    }
    return text.empty() ? std::string(what) + "is empty" : "";
}

std::string inputRefusal(const char* column, const std::string& text) {
    std::string why = matchRefusal(column, text);
    if (!why.empty()) {
        return why;
    }
    why = vutil::typedTextFlaw(text.data(), text.size());
    return why.empty() ? why : (column[0] == 's' ? "the code " : "the reader name ") + why;
}

void judgeRepeats(const std::vector<csv::Line>& lines, std::vector<bool>* drop,
                  std::vector<csv::Refused>* refused) {
    std::vector<uint32_t> order;  // the lines not refused already
    for (uint32_t i = 0; i < lines.size(); ++i) {
        if (!(*drop)[i]) {
            order.push_back(i);
        }
    }
    std::stable_sort(order.begin(), order.end(),
                     [&](uint32_t a, uint32_t b) { return lines[a].code < lines[b].code; });
    for (size_t k = 1; k < order.size(); ++k) {
        const csv::Line& first = lines[order[k - 1]];
        const csv::Line& l = lines[order[k]];
        if (l.code != first.code) {
            continue;
        }
        (*drop)[order[k]] = true;
        if (l.reader != first.reader) {
            refused->push_back(
                {l.number, "code " + vutil::escape(l.code.data(), l.code.size()) +
                               " is given to reader " +
                               vutil::escape(first.reader.data(), first.reader.size()) +
                               " on line " + std::to_string(first.number)});
        }
        order[k] = order[k - 1];  // later repeats are judged against the first
    }
}

void judgeLines(std::vector<csv::Line>* lines, std::vector<csv::Refused>* refused,
                const std::function<std::string(const csv::Line&)>& extra) {
    std::vector<bool> drop(lines->size());
    for (size_t i = 0; i < lines->size(); ++i) {
        const csv::Line& l = (*lines)[i];
        std::string why = inputRefusal("sc", l.code);
        if (why.empty()) {
            why = inputRefusal("reader", l.reader);
        }
        if (why.empty() && extra) {
            why = extra(l);
        }
        if (!why.empty()) {
            refused->push_back({l.number, why});
            drop[i] = true;
        }
    }
    judgeRepeats(*lines, &drop, refused);
    size_t kept = 0;
    for (size_t i = 0; i < lines->size(); ++i) {
        if (!drop[i] && kept++ != i) {
            (*lines)[kept - 1] = std::move((*lines)[i]);
        }
    }
    lines->resize(kept);
    std::sort(refused->begin(), refused->end(),
              [](const csv::Refused& a, const csv::Refused& b) { return a.number < b.number; });
}

}  // namespace code_input

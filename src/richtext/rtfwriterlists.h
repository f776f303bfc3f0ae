#pragma once

#include <QByteArray>
#include <QHash>
#include <QTextListFormat>

#include <array>
#include <vector>

class QTextBlock;
class QTextList;

namespace kmp::rtf::detail {

// The writer's lists as the note stores them: every QTextList belongs to one
// list of the note (\ls), whose levels are the nesting of its items. A list
// goes on in the next QTextList of the same look that numbers on from it (a
// long list the reader cut into runs, a list interrupted by paragraphs), and
// sublists belong to the list whose item they follow; a list that starts
// afresh is a list of its own. Other programs read the lists from the tables
// this builds, so two lists stay two and nested numbering keeps its levels.
class WriterLists
{
public:
    // The \ls number of block's list, and the level of the block in it.
    int listFor(const QTextBlock &block, const QTextList *list, int *level);

    // {\*\listtable ...}{\*\listoverridetable ...}, or nothing without lists.
    QByteArray tables() const;

private:
    struct Level
    {
        bool used = false;
        QTextListFormat format;
        int start = 1;
    };
    struct Group
    {
        std::array<Level, 9> levels;
        std::array<int, 9> next{};       // the number the next item of each level would have
        std::array<bool, 9> restarted{}; // an item above the level came since its last item
    };

    std::vector<Group> m_groups;
    QHash<const QTextList *, int> m_groupOf;
    int m_last = -1;
};

} // namespace kmp::rtf::detail

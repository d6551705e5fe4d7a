#include "register/ui/grid_model.h"
#include "register/fields.h"

#include "register/data_link.h"
#include "register/dataset.h"

#include <QDate>
#include <QDateTime>
#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>
#include <numeric>
#include <string_view>

namespace varek {

namespace {
// Between the search fields of a row, so that a search text never matches
// across two fields; a line edit cannot type it.
constexpr QChar kFieldSeparator = u'\x1f';
} // namespace

GridModel::GridModel(DataLink& link, QList<GridColumn> columns, QObject* parent)
    : QAbstractTableModel(parent), m_link(link), m_columns(std::move(columns)),
      m_fieldIndex(m_columns.size(), -1) {
    connect(&m_link, &DataLink::rowsReset, this, &GridModel::reset);
    connect(&m_link, &DataLink::rowChanged, this, &GridModel::rowChanged);
    // A move of the current row can follow an open the model has not seen yet
    // (handlers run in connection order); take the rows then too.
    connect(&m_link, &DataLink::dataChange, this, [this] {
        const Dataset* ds = dataset();
        if (ds && ds->active() && ds->recordCount() != m_rows) reset();
    });
    reset();
}

Dataset* GridModel::dataset() const {
    return m_link.dataset();
}

int GridModel::columnOfField(const QString& field) const {
    for (int c = 0; c < m_columns.size(); ++c)
        if (m_columns[c].field.compare(field, Qt::CaseInsensitive) == 0) return c;
    return -1;
}

bool GridModel::isStatusColumn(int column) const {
    return column >= 0 && column < m_columns.size() &&
           m_columns[column].field.compare(field::status, Qt::CaseInsensitive) == 0;
}

QString GridModel::statusText(const QVariant& status) {
    if (!status.isValid() || status.isNull()) return QStringLiteral("мастер-ключ");
    bool ok = false;
    const qlonglong n = status.toLongLong(&ok);
    return ok && n == 0 ? QStringLiteral("мастер-ключ") : QStringLiteral("доступ");
}

QString GridModel::searchKey(const QString& text) {
    QString key = text.toLower();
    key.replace(u'ё', u'е');
    return key;
}

void GridModel::reset() {
    beginResetModel();
    const Dataset* ds = dataset();
    const bool active = ds && ds->active();
    m_rows = active ? ds->recordCount() : 0;
    for (int c = 0; c < m_columns.size(); ++c)
        m_fieldIndex[c] = active ? ds->fieldIndex(m_columns[c].field) : -1;
    m_searchFieldIndex.clear();
    for (const QString& f : std::as_const(m_searchFields)) {
        const int i = active ? ds->fieldIndex(f) : -1;
        if (i >= 0) m_searchFieldIndex.append(i);
    }
    m_rowTextsValid = false;
    m_textsMade = 0;
    m_sortKeysValid = false;
    buildMap(false);
    endResetModel();
    emit shownRowsChanged();
    scheduleSearchTexts();
}

void GridModel::scheduleSearchTexts() {
    // The rows' search texts are made when the window is idle, so that the
    // first keystroke of a search does not wait for them: a few milliseconds
    // at a time, so that the window shows its rows first and keeps
    // repainting meanwhile.
    if (m_searchFieldIndex.isEmpty() || m_rowTextsValid || m_textsPending) return;
    m_textsPending = true;
    QTimer::singleShot(0, this, [this] {
        m_textsPending = false;
        if (m_rowTextsValid || !m_link.enabled()) return;
        if (!makeSearchTexts(8)) scheduleSearchTexts();
    });
}

void GridModel::rowChanged(int row) {
    if (row < 0 || row >= m_rows) return;
    if ((m_rowTextsValid || row < m_textsMade) && row < m_rowTexts.size())
        m_rowTexts.set(row, searchTextOf(row));
    if (m_sortKeysValid && row < m_sortKeys.size()) m_sortKeys[row] = sortKeyOf(row);
    m_mapCurrent = false; // a hidden row may match now
    const int shown = shownRow(row);
    if (shown < 0 || m_columns.isEmpty()) return;
    emit dataChanged(index(shown, 0), index(shown, int(m_columns.size()) - 1));
}

void GridModel::setSearchFields(const QStringList& fields) {
    m_searchFields = fields;
    reset();
}

void GridModel::setSearchText(const QString& text) {
    m_searchText = text;
    const QString needle = searchKey(text.trimmed());
    if (needle == m_needle) return;
    // A longer text finds a part of what the shorter one found.
    const bool narrowing = m_mapCurrent && !m_needle.isEmpty() && needle.contains(m_needle) && !m_allHidden;
    m_needle = needle;
    beginResetModel();
    buildMap(narrowing);
    endResetModel();
    emit shownRowsChanged();
}

void GridModel::setAllHidden(bool hidden) {
    if (hidden == m_allHidden) return;
    m_allHidden = hidden;
    beginResetModel();
    buildMap(false);
    endResetModel();
    emit shownRowsChanged();
}

void GridModel::sort(int column, Qt::SortOrder order) {
    if (column < 0 || column >= m_columns.size()) column = -1;
    if (column == m_sortColumn && (column < 0 || order == m_sortOrder)) return;
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    const QModelIndexList before = persistentIndexList();
    QVector<int> sources;
    sources.reserve(before.size());
    for (const QModelIndex& i : before)
        sources.append(sourceRow(i.row()));

    if (column != m_sortColumn) m_sortKeysValid = false;
    m_sortColumn = column;
    m_sortOrder = order;
    if (column >= 0) {
        if (m_everyRow) listShown();
        sortShown();
    } else if (m_needle.isEmpty() && !m_allHidden) {
        showEveryRow(); // back to the dataset's order
    } else {
        std::sort(m_shown.begin(), m_shown.end());
    }
    rebuildInverse();

    QModelIndexList after;
    after.reserve(before.size());
    for (int i = 0; i < before.size(); ++i) {
        const int row = shownRow(sources[i]);
        after.append(row >= 0 ? index(row, before[i].column()) : QModelIndex());
    }
    changePersistentIndexList(before, after);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
    emit shownRowsChanged();
}

int GridModel::sourceRow(int row) const {
    if (m_everyRow) return row >= 0 && row < m_rows ? row : -1;
    return row >= 0 && row < m_shown.size() ? m_shown[row] : -1;
}

int GridModel::shownRow(int sourceRow) const {
    if (m_everyRow) return sourceRow >= 0 && sourceRow < m_rows ? sourceRow : -1;
    return sourceRow >= 0 && sourceRow < m_inverse.size() ? m_inverse[sourceRow] : -1;
}

void GridModel::showEveryRow() {
    m_everyRow = true;
    QVector<int>().swap(m_shown);
    QVector<int>().swap(m_inverse);
}

void GridModel::listShown() {
    m_everyRow = false;
    m_shown.resize(m_rows);
    std::iota(m_shown.begin(), m_shown.end(), 0);
}

void GridModel::buildMap(bool narrowing) {
    if (m_allHidden) {
        m_everyRow = false;
        m_shown.clear();
    } else if (m_needle.isEmpty() && m_sortColumn < 0) {
        showEveryRow();
    } else if (m_needle.isEmpty()) {
        listShown();
        sortShown();
    } else {
        const RowTexts::Needle needle = RowTexts::needleOf(m_needle);
        if (!m_rowTextsValid) {
            buildSearchTexts();
            narrowing = false; // the texts changed under the rows shown
        }
        if (narrowing && !m_everyRow) {
            // The rows shown are already in the sort's order.
            const auto gone = std::remove_if(m_shown.begin(), m_shown.end(), [this, &needle](int row) {
                return !m_rowTexts.contains(row, needle);
            });
            m_shown.erase(gone, m_shown.end());
        } else {
            m_everyRow = false;
            m_shown.clear();
            for (int row = 0; row < m_rows; ++row)
                if (m_rowTexts.contains(row, needle)) m_shown.append(row);
            sortShown();
        }
    }
    rebuildInverse();
    m_mapCurrent = true;
}

QString GridModel::searchTextOf(int row) const {
    const Dataset* ds = dataset();
    QString text;
    for (int f : m_searchFieldIndex) {
        if (!text.isEmpty()) text += kFieldSeparator;
        text += Dataset::textOf(ds->value(row, f));
    }
    return searchKey(text);
}

void GridModel::buildSearchTexts() {
    makeSearchTexts(-1);
}

namespace {

// The byte of a character in a one-byte text: ASCII as it is, Cyrillic
// (U+0400..U+047F) as 0x80 + its place; -1 for any other.
int narrowByte(char16_t c) {
    if (c < 0x80) return c;
    if (c >= 0x400 && c < 0x480) return 0x80 + (c - 0x400);
    return -1;
}

// The text in one byte a character, or false when it holds another.
bool narrowed(QStringView text, QByteArray* out) {
    out->resize(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const int b = narrowByte(text[i].unicode());
        if (b < 0) return false;
        (*out)[i] = char(b);
    }
    return true;
}

// Puts text in all at start when it fits there, else at the end; where it
// went.
template <class Chars, class Text> quint32 placeText(Chars& all, const Text& text, bool fits, quint32 start) {
    if (fits) {
        std::copy(text.cbegin(), text.cend(), all.begin() + start);
        return start;
    }
    all += text;
    return quint32(all.size() - text.size());
}

} // namespace

GridModel::RowTexts::Needle GridModel::RowTexts::needleOf(const QString& key) {
    Needle n;
    n.wide = key;
    n.narrowable = narrowed(key, &n.narrow);
    return n;
}

void GridModel::RowTexts::restart(int rows) {
    m_narrow = QByteArray();
    m_wide = QString();
    m_starts.assign(size_t(std::max(0, rows)), 0);
    m_sizes.assign(size_t(std::max(0, rows)), 0);
}

void GridModel::RowTexts::set(int row, const QString& text) {
    const size_t r = size_t(row);
    QByteArray& narrow = m_scratch;
    const bool isNarrow = narrowed(text, &narrow);
    const quint32 size = quint32(text.size());
    // A text no longer than the row's last, and of the same width, takes its
    // place; another goes at the end.
    const bool fits = (m_sizes[r] & kWide) == (isNarrow ? 0 : kWide) && size <= (m_sizes[r] & ~kWide);
    m_starts[r] = isNarrow ? placeText(m_narrow, narrow, fits, m_starts[r])
                           : placeText(m_wide, text, fits, m_starts[r]);
    m_sizes[r] = isNarrow ? size : size | kWide;
}

bool GridModel::RowTexts::contains(int row, const Needle& needle) const {
    const size_t r = size_t(row);
    const quint32 size = m_sizes[r] & ~kWide;
    if (m_sizes[r] & kWide) return QStringView(m_wide).mid(m_starts[r], size).contains(needle.wide);
    // A one-byte text holds only characters that have a byte.
    if (!needle.narrowable) return false;
    return std::string_view(m_narrow.constData() + m_starts[r], size)
               .find(std::string_view(needle.narrow.constData(), size_t(needle.narrow.size()))) !=
           std::string_view::npos;
}

bool GridModel::makeSearchTexts(qint64 budgetMs) {
    if (m_rowTextsValid) return true;
    if (m_textsMade == 0) m_rowTexts.restart(m_rows);
    const Dataset* ds = dataset();
    const bool active = ds && ds->active();
    QElapsedTimer clock;
    clock.start();
    for (int row = m_textsMade; row < m_rows; ++row) {
        if (budgetMs >= 0 && (row - m_textsMade) % 512 == 511 && clock.elapsed() >= budgetMs) {
            m_textsMade = row;
            return false;
        }
        if (active) m_rowTexts.set(row, searchTextOf(row));
    }
    m_rowTextsValid = true;
    m_textsMade = 0;
    return true;
}

GridModel::SortKey GridModel::sortKeyOf(int row) const {
    SortKey key;
    const Dataset* ds = dataset();
    const int field = m_fieldIndex.value(m_sortColumn, -1);
    if (!ds || !ds->active() || field < 0) return key;
    const QVariant value = ds->value(row, field);
    if (isStatusColumn(m_sortColumn)) {
        key.kind = 3;
        key.text = searchKey(statusText(value));
        return key;
    }
    if (!value.isValid() || value.isNull()) return key;
    switch (value.typeId()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double:
    case QMetaType::Float:
    case QMetaType::Bool:
        key.kind = 1;
        key.number = value.toDouble();
        break;
    case QMetaType::QDate:
        key.kind = 2;
        key.number = double(value.toDate().toJulianDay());
        break;
    case QMetaType::QDateTime:
        key.kind = 2;
        key.number = double(value.toDateTime().toMSecsSinceEpoch());
        break;
    default:
        key.kind = 3;
        key.text = searchKey(Dataset::textOf(value));
        break;
    }
    return key;
}

void GridModel::buildSortKeys() {
    m_sortKeys.resize(m_rows);
    for (int row = 0; row < m_rows; ++row)
        m_sortKeys[row] = sortKeyOf(row);
    m_sortKeysValid = true;
}

bool GridModel::sortLess(int a, int b) const {
    const SortKey& x = m_sortKeys[a];
    const SortKey& y = m_sortKeys[b];
    if (x.kind != y.kind) return x.kind < y.kind;
    if (x.kind == 3) return x.text.compare(y.text) < 0;
    return x.number < y.number;
}

void GridModel::sortShown() {
    if (m_sortColumn < 0) return;
    if (!m_sortKeysValid) buildSortKeys();
    // Stable both ways: equal cells keep the dataset's order.
    if (m_sortOrder == Qt::AscendingOrder)
        std::stable_sort(m_shown.begin(), m_shown.end(), [this](int a, int b) { return sortLess(a, b); });
    else
        std::stable_sort(m_shown.begin(), m_shown.end(), [this](int a, int b) { return sortLess(b, a); });
}

void GridModel::rebuildInverse() {
    if (m_everyRow) return;
    m_inverse.fill(-1, m_rows);
    for (int i = 0; i < m_shown.size(); ++i)
        m_inverse[m_shown[i]] = i;
}

int GridModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : m_everyRow ? m_rows : int(m_shown.size());
}

int GridModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(m_columns.size());
}

QVariant GridModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || sourceRow(index.row()) < 0 || index.column() >= m_columns.size()) return {};
    if (role != Qt::DisplayRole && role != FieldValueRole && role != Qt::ToolTipRole &&
        role != Qt::AccessibleTextRole)
        return {};
    const Dataset* ds = dataset();
    const int field = m_fieldIndex[index.column()];
    const int row = sourceRow(index.row());
    // While the link is suspended the dataset may present fewer rows than the
    // model still shows.
    if (!ds || !ds->active() || field < 0 || row >= ds->recordCount()) return {};
    const QVariant value = ds->value(row, field);
    if (role == FieldValueRole) return value;
    if (role == Qt::AccessibleTextRole && isStatusColumn(index.column())) return statusText(value);
    return Dataset::textOf(value);
}

QVariant GridModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || section < 0 || section >= m_columns.size())
        return QAbstractTableModel::headerData(section, orientation, role);
    if (role == Qt::DisplayRole) return m_columns[section].title;
    if (role == FieldNameRole) return m_columns[section].field;
    return {};
}

Qt::ItemFlags GridModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) return Qt::NoItemFlags;
    return Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemNeverHasChildren;
}

} // namespace varek

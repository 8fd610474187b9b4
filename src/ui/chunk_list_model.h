#pragma once
// The rows of the Join page's list: one per file of a chunk set, in a model the view draws
// only where it shows, so that a set of many thousand chunks lists at once.

#include <QAbstractTableModel>
#include <QPixmap>
#include <QString>
#include <cstdint>
#include <string>
#include <vector>

// What a row's mark says: bytes checked and right, wrong, rebuilt by a join, or sizes and
// fingerprints right while the bytes are not read yet.
enum class RowMark { Right, Wrong, Rebuild, Unchecked };

struct ChunkRow {
    // In the engine's text, put into the system's only when drawn: a listing of many
    // thousand rows converts only the few on screen.
    std::string path;
    std::int64_t size = -1;  // -1: missing
    RowMark mark = RowMark::Wrong;
    QString state;
    QString stateTip;
};

class ChunkListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    static constexpr int kPathColumn = 0;
    static constexpr int kSizeColumn = 1;
    static constexpr int kMarkColumn = 2;
    static constexpr int kStateColumn = 3;

    explicit ChunkListModel(QObject* parent = nullptr);

    void setRows(std::vector<ChunkRow> rows);
    void clear() { setRows({}); }
    const std::vector<ChunkRow>& rows() const { return rows_; }
    const QPixmap& markImage(RowMark mark) const;
    QString pathOf(int row) const;

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    std::vector<ChunkRow> rows_;
    QPixmap right_;
    QPixmap wrong_;
    QPixmap rebuild_;
    QPixmap unchecked_;
};

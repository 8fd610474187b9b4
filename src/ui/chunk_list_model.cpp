#include "ui/chunk_list_model.h"

#include "platform/encoding.h"
#include "ui/images.h"
#include "ui/page_support.h"

ChunkListModel::ChunkListModel(QObject* parent)
    : QAbstractTableModel(parent),
      right_(QStringLiteral(":/image/right.png")),
      wrong_(QStringLiteral(":/image/wrong.png")),
      rebuild_(rebuildMark()),
      unchecked_(uncheckedMark()) {}

void ChunkListModel::setRows(std::vector<ChunkRow> rows) {
    beginResetModel();
    rows_ = std::move(rows);
    endResetModel();
}

const QPixmap& ChunkListModel::markImage(RowMark mark) const {
    switch (mark) {
        case RowMark::Right:
            return right_;
        case RowMark::Rebuild:
            return rebuild_;
        case RowMark::Unchecked:
            return unchecked_;
        case RowMark::Wrong:
            break;
    }
    return wrong_;
}

QString ChunkListModel::pathOf(int row) const {
    return morvane::plat::fromEngineText(rows_[static_cast<std::size_t>(row)].path);
}

int ChunkListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int ChunkListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : 4;
}

QVariant ChunkListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) return {};
    const ChunkRow& row = rows_[static_cast<std::size_t>(index.row())];
    switch (index.column()) {
        case kPathColumn:
            if (role == Qt::DisplayRole || role == Qt::UserRole || role == Qt::ToolTipRole)
                return pathOf(index.row());
            break;
        case kSizeColumn:
            if (role == Qt::DisplayRole) return page::sizeText(row.size);
            break;
        case kMarkColumn:
            if (role == Qt::DecorationRole) return markImage(row.mark);
            break;
        case kStateColumn:
            if (role == Qt::DisplayRole) return row.state;
            if (role == Qt::ToolTipRole && !row.stateTip.isEmpty()) return row.stateTip;
            break;
        default:
            break;
    }
    return {};
}

QVariant ChunkListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    switch (section) {
        case kPathColumn:
            return tr("Path");
        case kSizeColumn:
            return tr("Size");
        case kStateColumn:
            return tr("State");
        default:
            return QString();
    }
}

#include "app/window/device_model.h"

#include <QMetaObject>

#include <algorithm>

namespace mardo {

device_model::device_model(device_list& list, QObject* parent)
    : QAbstractTableModel(parent), list_(list) {
  batch_timer_.setSingleShot(true);
  connect(&batch_timer_, &QTimer::timeout, this, &device_model::catch_up);
  since_batch_.start();
  // Subscribed before counting: a row added in between is then heard as well as counted, and
  // applying a batch tolerates rows it already shows.
  observer_ = list_.subscribe([this](const list_change_t& change) { heard(change); });
  shown_rows_ = list_.count();
}

device_model::~device_model() {
  // Once this returns no writer is inside heard(): observers run under the store's lock.
  list_.unsubscribe(observer_);
}

int device_model::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : shown_rows_;
}

int device_model::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kColumnCount;
}

QVariant device_model::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= shown_rows_) return {};
  if (role == Qt::DisplayRole) {
    const std::u16string text = list_.text(index.row(), index.column());
    return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
  }
  if (role == Qt::CheckStateRole && index.column() == kColId) {
    return list_.checked(index.row()) ? Qt::Checked : Qt::Unchecked;
  }
  return {};
}

QVariant device_model::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
      section >= kColumnCount) {
    return {};
  }
  return QString::fromUtf16(kDeviceColumns[static_cast<std::size_t>(section)].header);
}

Qt::ItemFlags device_model::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  Qt::ItemFlags flags = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
  if (index.column() == kColId) flags |= Qt::ItemIsUserCheckable;
  return flags;
}

bool device_model::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (!index.isValid() || role != Qt::CheckStateRole || index.column() != kColId) return false;
  const bool on = value.toInt() == Qt::Checked;
  if (!list_.set_checked(index.row(), on)) return false;
  emit dataChanged(index, index, {Qt::CheckStateRole});
  return true;
}

bool device_model::pending() const {
  std::lock_guard lock(pending_mutex_);
  return pending_.posted;
}

void device_model::heard(const list_change_t& change) {
  std::lock_guard lock(pending_mutex_);
  switch (change.kind) {
    case list_change_t::kReset:
      pending_.reset = true;
      break;
    case list_change_t::kInserted:
      pending_.inserted = true;
      break;
    case list_change_t::kRemoved:
      pending_.removed.push_back(change.row);
      break;
    case list_change_t::kText:
    case list_change_t::kTag:
    case list_change_t::kCheck:
      pending_.first_changed =
          pending_.first_changed < 0 ? change.row : std::min(pending_.first_changed, change.row);
      pending_.last_changed = std::max(pending_.last_changed, change.row);
      break;
  }
  if (!pending_.posted) {
    pending_.posted = true;
    QMetaObject::invokeMethod(this, &device_model::schedule, Qt::QueuedConnection);
  }
}

void device_model::schedule() {
  const qint64 since = since_batch_.elapsed();
  if (since >= kBatchIntervalMs) {
    catch_up();
  } else if (!batch_timer_.isActive()) {
    batch_timer_.start(static_cast<int>(kBatchIntervalMs - since));
  }
}

void device_model::catch_up() {
  batch_timer_.stop();
  pending_t batch;
  {
    std::lock_guard lock(pending_mutex_);
    batch = std::move(pending_);
    pending_ = pending_t{};
  }
  apply(batch);
  since_batch_.restart();
}

void device_model::apply(const pending_t& batch) {
  // The store is read after the batch was taken, so it already holds every change of the
  // batch, and perhaps some of the next one, which that batch will then find applied.
  const int rows = list_.count();
  const auto removed = static_cast<int>(batch.removed.size());
  const bool only_removals = !batch.inserted && shown_rows_ - removed == rows;
  if (batch.reset || (removed > 0 && !only_removals) || rows < shown_rows_ - removed) {
    beginResetModel();
    shown_rows_ = rows;
    endResetModel();
    return;
  }
  for (int row : batch.removed) {
    if (row < 0 || row >= shown_rows_) continue;
    beginRemoveRows(QModelIndex(), row, row);
    --shown_rows_;
    endRemoveRows();
  }
  if (rows > shown_rows_) {
    beginInsertRows(QModelIndex(), shown_rows_, rows - 1);
    shown_rows_ = rows;
    endInsertRows();
  }
  if (batch.last_changed >= 0 && shown_rows_ > 0) {
    const int first = std::min(batch.first_changed, shown_rows_ - 1);
    const int last = std::min(batch.last_changed, shown_rows_ - 1);
    emit dataChanged(index(first, 0), index(last, kColumnCount - 1));
  }
}

}  // namespace mardo

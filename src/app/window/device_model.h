#pragma once
// The device list as a Qt table model. The store is written by worker threads; the model
// hears each change on the writer's thread, notes it, and lets the GUI thread catch up in
// coalesced batches, so a flood of rows costs the view one update per batch.
#include <QAbstractTableModel>
#include <QElapsedTimer>
#include <QTimer>

#include <mutex>
#include <vector>

#include "core/device_list.h"

namespace mardo {

class device_model final : public QAbstractTableModel {
  Q_OBJECT

 public:
  // The GUI thread catches up at most this often.
  static constexpr int kBatchIntervalMs = 16;

  explicit device_model(device_list& list, QObject* parent = nullptr);
  ~device_model() override;

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role) override;

  // Applies what was heard so far at once (GUI thread), instead of at the next batch.
  void catch_up();
  // Changes heard but not yet applied.
  bool pending() const;

 private:
  // What a batch has to apply, summed up as the changes arrive.
  struct pending_t {
    bool posted = false;  // a catch-up is on its way to the GUI thread
    bool reset = false;
    bool inserted = false;
    std::vector<int> removed;  // in the order they happened
    int first_changed = -1;
    int last_changed = -1;
  };

  void heard(const list_change_t& change);  // writer's thread, store locked
  void schedule();                          // GUI thread
  void apply(const pending_t& batch);

  device_list& list_;
  int observer_ = 0;
  int shown_rows_ = 0;  // the row count the view was told

  mutable std::mutex pending_mutex_;
  pending_t pending_;

  QTimer batch_timer_;
  QElapsedTimer since_batch_;
};

}  // namespace mardo

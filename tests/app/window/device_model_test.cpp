// The Qt model over the device list: rows written on other threads reach the view in
// coalesced batches, in step with the store.
#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTest>

#include <string>
#include <thread>
#include <vector>

#include "app/window/device_model.h"

namespace mardo {
namespace {

bool caught_up(device_model& model, const device_list& list) {
  return QTest::qWaitFor([&] { return !model.pending() && model.rowCount() == list.count(); },
                         5000);
}

void add_filled_row(device_list& list, std::mutex& lock, int n) {
  std::lock_guard guard(lock);
  const int row = list.add_row();
  const std::string mac = "02-00-00-00-" + std::to_string(n / 256) + "-" + std::to_string(n % 256);
  list.set_text(row, kColMac, std::u16string(mac.begin(), mac.end()));
  list.set_text(row, kColIp, u"192.0.2.1");
}

TEST(DeviceModel, ShowsRowsThatWereThereBeforeIt) {
  device_list list;
  list.add_row();
  list.add_row();
  device_model model(list);
  EXPECT_EQ(model.rowCount(), 2);
  EXPECT_EQ(model.data(model.index(1, kColId)).toString(), QStringLiteral("2"));
}

TEST(DeviceModel, RowsFromTwoThreadsArriveInFewerBatchesThanChanges) {
  device_list list;
  std::mutex list_lock;
  device_model model(list);
  QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
  constexpr int kPerThread = 500;
  std::thread a([&] {
    for (int i = 0; i < kPerThread; ++i) add_filled_row(list, list_lock, i);
  });
  std::thread b([&] {
    for (int i = 0; i < kPerThread; ++i) add_filled_row(list, list_lock, kPerThread + i);
  });
  a.join();
  b.join();
  ASSERT_TRUE(caught_up(model, list));
  EXPECT_EQ(model.rowCount(), 2 * kPerThread);
  // Each batch covers many rows: the view is told far less often than the store changed.
  EXPECT_LT(inserted.count(), kPerThread);
  int told = 0;
  for (const auto& args : inserted) told += args.at(2).toInt() - args.at(1).toInt() + 1;
  EXPECT_EQ(told, 2 * kPerThread);
  for (int row = 0; row < model.rowCount(); ++row) {
    ASSERT_EQ(model.data(model.index(row, kColMac)).toString().toStdU16String(),
              list.text(row, kColMac))
        << row;
  }
}

TEST(DeviceModel, NothingReachesTheViewOutsideTheGuiThreadsEventLoop) {
  device_list list;
  device_model model(list);
  QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
  std::thread writer([&] { list.add_row(); });
  writer.join();
  EXPECT_EQ(model.rowCount(), 0);
  EXPECT_EQ(inserted.count(), 0);
  ASSERT_TRUE(caught_up(model, list));
  EXPECT_EQ(model.rowCount(), 1);
}

TEST(DeviceModel, DeleteAllAndSortResetTheView) {
  device_list list;
  device_model model(list);
  for (int i = 0; i < 5; ++i) list.add_row();
  model.catch_up();
  QSignalSpy resets(&model, &QAbstractItemModel::modelReset);
  list.delete_all();
  list.add_row();
  model.catch_up();
  EXPECT_EQ(model.rowCount(), 1);
  EXPECT_EQ(resets.count(), 1);
  list.add_row();
  list.set_tag(0, 2);
  list.set_tag(1, 1);
  list.sort([](const list_row_t& a, const list_row_t& b) {
    return a.tag < b.tag ? -1 : a.tag > b.tag ? 1 : 0;
  });
  model.catch_up();
  EXPECT_EQ(resets.count(), 2);
  EXPECT_EQ(model.rowCount(), 2);
}

TEST(DeviceModel, RemovedRowsAreRemovedFromTheViewOneByOne) {
  device_list list;
  device_model model(list);
  for (int i = 0; i < 4; ++i) list.add_row();
  model.catch_up();
  QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);
  QSignalSpy resets(&model, &QAbstractItemModel::modelReset);
  list.delete_row(3);
  list.delete_row(0);
  model.catch_up();
  EXPECT_EQ(model.rowCount(), 2);
  ASSERT_EQ(removed.count(), 2);
  EXPECT_EQ(removed.at(0).at(1).toInt(), 3);
  EXPECT_EQ(removed.at(1).at(1).toInt(), 0);
  EXPECT_EQ(resets.count(), 0);
}

TEST(DeviceModel, RemovalsMixedWithInsertsFallBackToAReset) {
  device_list list;
  device_model model(list);
  for (int i = 0; i < 3; ++i) list.add_row();
  model.catch_up();
  QSignalSpy resets(&model, &QAbstractItemModel::modelReset);
  list.delete_row(1);
  list.add_row();
  list.add_row();
  model.catch_up();
  EXPECT_EQ(resets.count(), 1);
  EXPECT_EQ(model.rowCount(), 4);
}

TEST(DeviceModel, TextChangesAreAnnouncedForTheRowsTheyTouch) {
  device_list list;
  device_model model(list);
  for (int i = 0; i < 6; ++i) list.add_row();
  model.catch_up();
  QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
  std::thread writer([&] {
    list.set_text(2, kColInfo, u"传输 0%");
    list.set_text(4, kColInfo, u"传输 40%");
  });
  writer.join();
  model.catch_up();
  ASSERT_EQ(changed.count(), 1);
  EXPECT_EQ(changed.at(0).at(0).toModelIndex().row(), 2);
  EXPECT_EQ(changed.at(0).at(1).toModelIndex().row(), 4);
  EXPECT_EQ(model.data(model.index(4, kColInfo)).toString(), QStringLiteral("传输 40%"));
}

TEST(DeviceModel, CheckBoxOfTheFirstColumnWritesTheStore) {
  device_list list;
  list.add_row();
  device_model model(list);
  const QModelIndex id = model.index(0, kColId);
  EXPECT_TRUE(model.setData(id, Qt::Checked, Qt::CheckStateRole));
  EXPECT_TRUE(list.checked(0));
  EXPECT_EQ(model.data(id, Qt::CheckStateRole).toInt(), Qt::Checked);
  EXPECT_FALSE(model.setData(model.index(0, kColMac), Qt::Checked, Qt::CheckStateRole));
  EXPECT_FALSE(model.flags(model.index(0, kColMac)).testFlag(Qt::ItemIsUserCheckable));
  EXPECT_FALSE(model.setData(id, QStringLiteral("x"), Qt::EditRole));
  EXPECT_TRUE(model.setData(id, Qt::Unchecked, Qt::CheckStateRole));
  EXPECT_FALSE(list.checked(0));
}

TEST(DeviceModel, ARowTheStoreLostMeanwhileReadsEmpty) {
  device_list list;
  list.add_row();
  list.set_text(0, kColMac, u"02-00-00-00-00-01");
  device_model model(list);
  list.delete_all();  // heard, not yet applied
  EXPECT_EQ(model.rowCount(), 1);
  EXPECT_TRUE(model.data(model.index(0, kColMac)).toString().isEmpty());
  model.catch_up();
  EXPECT_EQ(model.rowCount(), 0);
}

}  // namespace
}  // namespace mardo

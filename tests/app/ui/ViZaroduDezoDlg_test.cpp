// The region frame on the offscreen platform: where it starts, when it writes
// the capture region and how a ratio reshapes it. Drags are in the X11 test.
#include "app/ui/ViZaroduDezoDlg.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QScreen>
#include <QTest>

#include <array>

#include "config/HX_ServerConfiguration.h"

namespace {

class RegionFrame : public ::testing::Test {
 protected:
  void SetUp() override {
    m_config.resetToDefaults();
    m_config.m_iCaptureMode = kCaptureRegion;
    m_pFrame = std::make_unique<ViZaroduDezoDlg>(m_config);
    m_pFrame->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(m_pFrame.get()));
  }
  void TearDown() override { m_config.resetToDefaults(); }

  std::array<int, 4> Stored() const {
    std::array<int, 4> r;
    m_config.getCaptureRegion(&r[0], &r[1], &r[2], &r[3]);
    return r;
  }
  QSize Client() const { return m_pFrame->CaptureRect().size(); }

  HX_ServerConfiguration& m_config = *HX_ServerConfiguration::instance();
  std::unique_ptr<ViZaroduDezoDlg> m_pFrame;
};

}  // namespace

TEST_F(RegionFrame, StartsCentredAndWritesItsEvenedInsideOnMoveAndResizeOnlyInRegionMode) {
  EXPECT_EQ(Client(), QSize(640, 360));
  const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
  EXPECT_LE((m_pFrame->geometry().center() - screen.center()).manhattanLength(), 2);

  m_config.m_iCaptureMode = kCaptureFullScreen;
  m_config.setCaptureRegion(1, 2, 3, 4);
  m_pFrame->setGeometry(m_pFrame->geometry().adjusted(30, 20, 61, 20));
  QApplication::processEvents();
  EXPECT_EQ(Stored(), (std::array<int, 4>{1, 2, 3, 4}));
  m_config.m_iCaptureMode = kCaptureRegion;
  m_pFrame->move(m_pFrame->pos() + QPoint(-7, 5));
  const QRect c = m_pFrame->CaptureRect();
  ASSERT_EQ(c.width() % 2, 1);
  const std::array<int, 4> evened{c.x(), c.y(), c.right(), c.bottom() + 1};
  EXPECT_TRUE(QTest::qWaitFor([&] { return Stored() == evened; }));
}

TEST_F(RegionFrame, RatiosReshapeAroundTheBottomLeftCornerExceptWhileARunLocksTheFrame) {
  const QRect before = m_pFrame->geometry();
  m_pFrame->SetAspectIndex(1);  // 4:3 led by the height: 480 x 360
  ASSERT_TRUE(QTest::qWaitFor([&] { return Client() == QSize(480, 360); })) << Client().width();
  EXPECT_EQ(m_pFrame->geometry().bottomLeft(), before.bottomLeft());
  const QRect kept = m_pFrame->geometry();
  m_pFrame->SetAspectIndex(kVrAspectFree);
  m_pFrame->SetRunLocked(true);
  m_pFrame->SetAspectIndex(3);
  QApplication::processEvents();
  EXPECT_EQ(m_pFrame->geometry(), kept);
}

#include "DiskService.h"
#include "PackageBuilder.h"
#include "PenJobs.h"
#include "PenRecord.h"
#include "PenSession.h"
#include "Texts.h"

#include <QDir>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>

namespace {

const QByteArray IniOne = "[SYS]\r\nSerial=PENSERIAL01\r\n";
const QByteArray IniTwo = "[SYS]\r\nSerial=PENSERIAL02\r\n";

// A disk service that records what it was asked, and when, against the files it sees.
class RecordingDisks : public DiskService {
public:
    explicit RecordingDisks(std::function<void()> onEject)
        : m_onEject(std::move(onEject))
    {
    }
    bool ejectDrive(const QString&, QString*) override
    {
        m_onEject();
        return true;
    }
    QString mountFilesystem(const QString&, QString* error) override
    {
        *error = QStringLiteral("not here");
        return {};
    }

private:
    std::function<void()> m_onEject;
};

// Holds the first job of a kind on the pen's thread until released.
struct HeldKind {
    explicit HeldKind(QString kind)
    {
        PenJobs::jobStarting = [this, kind](const QString& started, std::stop_token) {
            if (started == kind && !held.exchange(true))
                release.acquire();
        };
    }
    ~HeldKind()
    {
        release.release(10);
        PenJobs::jobStarting = nullptr;
    }
    std::atomic<bool> held = false;
    QSemaphore release;
};

// One pen whose volume is a folder.
struct OnePen {
    QTemporaryDir volume;
    PenSession session;
    bool ejectSawPackage = false;

    OnePen()
    {
        QDir().mkpath(volume.filePath("SYS/INI"));
        QDir().mkpath(packages());
        writeFile(volume.filePath("SYS/INI/product.ini"), IniOne);
        session.setUsbMonitoringEnabled(false);
        session.setVolumePathResolver([this](const QString&) { return volume.path() + "/"; });
        session.setDiskService(std::make_unique<RecordingDisks>(
            [this] { ejectSawPackage = QFileInfo::exists(packages() + "001.dar"); }));
        session.storePen(BuildPenRecord("vorna", "Pen", "0100", "sdb1", {}));
        QTRY_VERIFY(session.identityOf("sdb1").isKnown());
    }
    QString packages() const { return volume.filePath("USER/CUSTOM/"); }
    bool idle()
    {
        return QTest::qWaitFor([this] { return !session.penJobsRunning(); }, 30000);
    }
};

}

class SessionTest : public QObject {
    Q_OBJECT
private slots:
    void identityOfThePen();
    void writeRefusedForAnotherPen_data();
    void writeRefusedForAnotherPen();
    void ejectWaitsForTheWriteBefore();
    void cancelledBeforeItStarts();
    void refusalTexts();
};

// Who a pen is comes from its volume: the serial of product.ini and the volume's device.
void SessionTest::identityOfThePen()
{
    OnePen pen;
    const PenIdentity identity = pen.session.identityOf("sdb1");
    QCOMPARE(identity.serial, QStringLiteral("PENSERIAL01"));
    QVERIFY(identity.device != 0);
    QCOMPARE(pen.session.pens().at("sdb1").serialText(), QStringLiteral("PENSERIAL01"));
}

// A removal confirmed for one pen runs only on that pen: another pen of the same model mounted
// where it was, or the pen gone, ends it before it touches anything.
void SessionTest::writeRefusedForAnotherPen_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<int>("refusal");
    QTest::addColumn<bool>("kept");
    QTest::addRow("the same pen") << "none" << -1 << false;
    QTest::addRow("another pen at the same place") << "swap" << int(JobRefusal::OtherPen) << true;
    QTest::addRow("a stale mount that reads nothing") << "stale" << int(JobRefusal::PenGone) << true;
    QTest::addRow("the volume gone") << "gone" << int(JobRefusal::PenGone) << true;
}

void SessionTest::writeRefusedForAnotherPen()
{
    QFETCH(QString, change);
    QFETCH(int, refusal);
    QFETCH(bool, kept);
    OnePen pen;
    const QString book = pen.packages() + "001.dar";
    PackageBuilder().title("数学").writeTo(book);
    // Who the user saw when asked.
    const PenIdentity seen = pen.session.identityOf("sdb1");
    if (change == "swap")
        writeFile(pen.volume.filePath("SYS/INI/product.ini"), IniTwo);
    else if (change == "stale")
        QFile::remove(pen.volume.filePath("SYS/INI/product.ini"));
    else if (change == "gone")
        pen.session.setVolumePathResolver([](const QString&) { return QStringLiteral("/nonexistent/pen/"); });

    std::optional<RemovalResult> removed;
    std::optional<JobRefusal> refused;
    pen.session.removePackage(
        "sdb1", seen, book, pen.packages(), [&](RemovalResult result) { removed = result; },
        [&](JobRefusal why) { refused = why; });
    QVERIFY(pen.idle());
    if (refusal < 0) {
        QCOMPARE(removed, std::optional(RemovalResult::Removed));
        QVERIFY(!refused);
    } else {
        QVERIFY(!removed);
        QCOMPARE(refused, std::optional(JobRefusal(refusal)));
    }
    QCOMPARE(QFileInfo::exists(book), kept);
}

// An eject asked for while a write runs waits for it, and nothing is written after it is asked
// for: a write posted then is refused.
void SessionTest::ejectWaitsForTheWriteBefore()
{
    OnePen pen;
    PackageBuilder().title("数学").writeTo(pen.packages() + "002.dar");
    HeldKind held(PenJobKind::WriteJob);
    const PenIdentity seen = pen.session.identityOf("sdb1");
    std::optional<StickerChangeResult> changed;
    StickerChangeRequest request { pen.packages() + "002.dar", "D", "dab", "002", "001", "0000",
        pen.packages() };
    pen.session.changeStickers(
        "sdb1", seen, request, [&](const StickerChangeResult& result) { changed = result; }, {});
    QTRY_VERIFY(held.held);
    QVERIFY(!pen.session.mayWrite("sdb1"));

    QSignalSpy started(&pen.session, &PenSession::ejectStarted);
    QSignalSpy finished(&pen.session, &PenSession::ejectFinished);
    QCOMPARE(pen.session.eject("sdb1"), PenSession::EjectStart::WaitsForWrites);
    QCOMPARE(pen.session.eject("sdb1"), PenSession::EjectStart::Refused);
    std::optional<JobRefusal> refused;
    pen.session.removePackage(
        "sdb1", seen, pen.packages() + "002.dar", pen.packages(), [](RemovalResult) { QFAIL("removed"); },
        [&](JobRefusal why) { refused = why; });
    QTRY_COMPARE(refused, std::optional(JobRefusal::EjectPending));
    QCOMPARE(started.count(), 0);

    held.release.release();
    QTRY_COMPARE(finished.count(), 1);
    QVERIFY(changed && changed->outcome == StickerChangeOutcome::Done);
    // The disk was ejected after the renumber had put the package under its new name.
    QVERIFY(pen.ejectSawPackage);
    QCOMPARE(started.count(), 1);
    QVERIFY(pen.session.pens().empty());
    QVERIFY(!pen.session.isEjecting());
}

// A job cancelled while it waits never runs; its refusal says so, and nothing else is told.
void SessionTest::cancelledBeforeItStarts()
{
    OnePen pen;
    HeldKind held(PenJobKind::ListingJob);
    pen.session.listPen("sdb1", pen.volume.path() + "/", pen.packages(), [](const PenListing&) {});
    QTRY_VERIFY(held.held);
    std::atomic<bool> ran = false;
    std::optional<JobRefusal> refused;
    const quint64 job = pen.session.post(
        "sdb1", JobAccess::Write, PenJobKind::WriteJob,
        [&](const PenJobContext&) -> PenDoor::Deliver {
            ran = true;
            return {};
        },
        [&](JobRefusal why) { refused = why; });
    QVERIFY(job != 0);
    pen.session.cancel("sdb1", job);
    QCOMPARE(refused, std::optional(JobRefusal::Cancelled));
    held.release.release();
    QVERIFY(pen.idle());
    QVERIFY(!ran);
}

void SessionTest::refusalTexts()
{
    QCOMPARE(textOf(JobRefusal::OtherPen), AppText::Unplugged);
    QCOMPARE(textOf(JobRefusal::PenGone), AppText::Unplugged);
    QCOMPARE(textOf(JobRefusal::EjectPending), AppText::EjectPending);
    QCOMPARE(textOf(JobRefusal::Cancelled), QString());
}

QTEST_GUILESS_MAIN(SessionTest)
#include "session_test.moc"

// The POSIX companions "tasklist" and "taskkill", run as the watchdog runs them, against stand-in
// processes that the tests start (and always end) themselves.

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <initializer_list>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

QStringList strings(std::initializer_list<const char *> list)
{
    QStringList result;
    for (const char *s : list)
        result << QString::fromUtf8(s);
    return result;
}

struct Run
{
    int exitCode = -1;
    bool normalExit = false;
    QByteArray out;
    QByteArray err;
};

Run run(const char *command, const QStringList &args = {})
{
    QProcess p;
    p.start(QStringLiteral(ZUVA_BIN_DIR "/") + QString::fromUtf8(command), args);
    Run r;
    if (!p.waitForStarted(5000) || !p.waitForFinished(15000)) {
        p.kill();
        p.waitForFinished(5000);
        return r;
    }
    r.exitCode = p.exitCode();
    r.normalExit = p.exitStatus() == QProcess::NormalExit;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

QByteArray listing()
{
    return run("tasklist").out;
}

// The names (first blank-separated field) of the listing lines that end in pid.
QByteArrayList namesOf(const QByteArray &listing, qint64 pid)
{
    QByteArrayList names;
    const QByteArrayList lines = listing.split('\n');
    for (int i = 3; i < lines.size(); ++i) {
        const QByteArray line = lines[i].trimmed();
        if (!line.isEmpty() && line.mid(line.lastIndexOf(' ') + 1).toLongLong() == pid)
            names << line.left(line.indexOf(' '));
    }
    return names;
}

QByteArray procFile(qint64 pid, const char *file)
{
    QFile f(QStringLiteral("/proc/%1/").arg(pid) + QLatin1String(file));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The fields of /proc/<pid>/stat after the name, the state first.
QByteArrayList statFields(qint64 pid)
{
    const QByteArray stat = procFile(pid, "stat");
    return stat.mid(stat.lastIndexOf(')') + 2).split(' ');
}

// When pid started (clock ticks since boot), or -1 once it has ended (a zombie has ended too).
// Comparing start times tells our process from a later one that got the same pid.
qint64 startedAt(qint64 pid)
{
    const QByteArrayList fields = statFields(pid);
    if (fields.size() < 20 || fields[0] == "Z" || fields[0] == "X")
        return -1;
    return fields[19].toLongLong();
}

QByteArray successLine(qint64 pid, qint64 parent)
{
    return "SUCCESS: The process with PID " + QByteArray::number(pid) + " (child process of PID "
           + QByteArray::number(parent) + ") has been terminated.\r\n";
}

QByteArrayList sortedLines(const QByteArray &text)
{
    QByteArrayList lines = text.split('\n');
    lines.removeAll(QByteArray());
    std::sort(lines.begin(), lines.end());
    return lines;
}

// Stand-in processes in a private folder. Whatever a test's outcome, everything started through
// here is ended when it goes out of scope; nothing else ever is.
class StandIns
{
public:
    ~StandIns()
    {
        for (const auto &t : tracked_)
            if (startedAt(t.first) == t.second)
                ::kill(static_cast<pid_t>(t.first), SIGKILL);
        for (const auto &p : procs_) {
            p->kill();
            p->waitForFinished(5000);
        }
        for (const QByteArray &file : rawFiles_) // beyond QString, so beyond QTemporaryDir
            ::unlink(file.constData());
    }

    QString path(const char *name) const { return dir_.filePath(QString::fromUtf8(name)); }

    QString script(const char *name, const QByteArray &text) const
    {
        QFile f(path(name));
        if (f.open(QIODevice::WriteOnly))
            f.write(text);
        f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        return path(name);
    }

    // Started with stdin left open, so that a script doing "read x" waits until it is ended.
    QProcess *start(const QString &program, const QStringList &args = {})
    {
        procs_.emplace_back(new QProcess);
        QProcess *p = procs_.back().get();
        p->setStandardOutputFile(QProcess::nullDevice());
        p->start(program, args);
        return p->waitForStarted(5000) ? p : nullptr;
    }

    // A copy of sleep under the given file name, sleeping. A name that is not UTF-8 cannot pass
    // through QString, so a script copies sleep and becomes it then.
    QProcess *sleeper(const QByteArray &name)
    {
        if (QString::fromUtf8(name).toUtf8() == name) {
            QFile::copy(QStringLiteral("/bin/sleep"), path(name));
            return start(path(name), strings({"300"}));
        }
        rawFiles_ << QFile::encodeName(dir_.path()) + '/' + name;
        QProcess *p = start(script("launch", "#!/bin/sh\ncd \"${0%/*}\" && cp /bin/sleep '" + name
                                                 + "' && exec './" + name + "' 300\n"));
        for (int i = 0; p && i < 500 && procFile(p->processId(), "comm") == "launch\n"; ++i)
            QTest::qWait(10);
        return p;
    }

    // A process started by one of ours, to be ended at cleanup as long as it is the same process.
    void track(qint64 pid) { tracked_.emplace_back(pid, startedAt(pid)); }

    // The pids a stand-in wrote to a file, one a line.
    QList<qint64> pidsIn(const char *name) const
    {
        QFile f(path(name));
        QList<qint64> pids;
        if (f.open(QIODevice::ReadOnly))
            for (const QByteArray &line : f.readAll().split('\n'))
                if (line.toLongLong() > 0)
                    pids << line.toLongLong();
        return pids;
    }

private:
    QTemporaryDir dir_;
    std::vector<std::unique_ptr<QProcess>> procs_;
    std::vector<std::pair<qint64, qint64>> tracked_;
    QByteArrayList rawFiles_;
};

const QByteArray scriptThatWaits = "#!/bin/sh\nread x\n";

} // namespace

class TestCompanions : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void listingLayout();
    void listsImageName_data();
    void listsImageName();
    void argumentsNeverListed_data();
    void argumentsNeverListed();
    void eachStandInListedOnce();
    void longListingReadWhole();
    void killsMatches_data();
    void killsMatches();
    void nothingMatches_data();
    void nothingMatches();
    void badUsage_data();
    void badUsage();
    void namesRoundTrip_data();
    void namesRoundTrip();
    void neverLeavesStopped_data();
    void neverLeavesStopped();
    void killsTree_data();
    void killsTree();
    void sparesItselfAndCaller();
};

void TestCompanions::init()
{
    // taskkill sees the whole machine: a caster we did not start would be ended, and counted.
    if (listing().toLower().contains("brindlecast"))
        QSKIP("A brindleCast process not started by this test is running.");
}

void TestCompanions::listingLayout()
{
    const Run r = run("tasklist");
    QVERIFY(r.normalExit);
    QCOMPARE(r.exitCode, 0);
    QVERIFY(
        r.out.startsWith("\r\nImage Name                     PID\r\n========================= ========\r\n"));
    QVERIFY(r.out.endsWith("\r\n"));
    QCOMPARE(r.out.count('\n'), r.out.count("\r\n"));
    QCOMPARE(r.out.count('\r'), r.out.count("\r\n"));

    // Each line as printf("%-25s %8d") makes it from its own first field and last number.
    const QByteArrayList lines = r.out.split('\n');
    for (int i = 3; i + 1 < lines.size(); ++i) {
        const QByteArray line = lines[i].chopped(1);
        char expected[512];
        std::snprintf(expected, sizeof expected, "%-25s %8lld", line.left(line.indexOf(' ')).constData(),
                      line.mid(line.lastIndexOf(' ') + 1).toLongLong());
        QCOMPARE(line, QByteArray(expected));
    }
    QCOMPARE(namesOf(r.out, QCoreApplication::applicationPid()), QByteArrayList{"tst_companions"});
}

void TestCompanions::listsImageName_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QByteArray>("script"); // empty: a copy of sleep
    QTest::addColumn<bool>("removeAfterStart");
    QTest::addColumn<QByteArray>("expected");

    auto row = [](const char *tag, const char *file, const QByteArray &script, bool remove,
                  const char *name) {
        QTest::newRow(tag) << QByteArray(file) << script << remove << QByteArray(name);
    };
    row("binary", "brindleCast.exe", {}, false, "brindleCast.exe");
    row("script", "brindleCast.exe", scriptThatWaits, false, "brindleCast.exe");
    row("long binary", "someverylongprogramname", {}, false, "someverylongprogramname");
    row("longer than the column", "averyveryverylongprogramname30", {}, false,
        "averyveryverylongprogramname30");
    row("long script", "brindleCast.exe.sh", scriptThatWaits, false, "brindleCast.exe.sh");
    row("long script, interpreter argument", "anotherlongscriptname", "#!/bin/sh -e\nread x\n", false,
        "anotherlongscriptname");
    row("long removed binary", "longremovedbinaryname", {}, true, "longremovedbinaryname");
    row("blank in name", "brindle cast", {}, false, "brindle_cast");
}

void TestCompanions::listsImageName()
{
    QFETCH(QByteArray, file);
    QFETCH(QByteArray, script);
    QFETCH(bool, removeAfterStart);
    QFETCH(QByteArray, expected);

    StandIns s;
    QProcess *p = script.isEmpty() ? s.sleeper(file) : s.start(s.script(file, script));
    QVERIFY(p);
    if (removeAfterStart)
        QVERIFY(QFile::remove(s.path(file)));
    QCOMPARE(namesOf(listing(), p->processId()), QByteArrayList{expected});
}

void TestCompanions::argumentsNeverListed_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("shell arguments") << "/bin/sh"
                                     << strings({"-c", "read x", "brindleCast.exe", "brindleCast"})
                                     << QByteArray("sh");
    // %1 is a copy of sleep with a long name: the kernel's name for it, not what argv[0] claims.
    QTest::newRow("argv[0]") << "/bin/bash" << strings({"-c", "exec -a brindleCast.exe %1 300"})
                             << QByteArray("someverylongprogramname");
    // A full-length comm that the interpreter, its options and the script text do not explain:
    // later arguments that start with it must still not be taken for the name.
    QTest::newRow("later argument fits a cut name")
        << "/bin/sh"
        << strings({"-c", "printf abcdefghijklmno >/proc/$$/comm; read x", "abcdefghijklmnoBrindleCast",
                    "abcdefghijklmnoBrindleCast.exe"})
        << QByteArray("abcdefghijklmno");
}

void TestCompanions::argumentsNeverListed()
{
    QFETCH(QString, program);
    QFETCH(QStringList, args);
    QFETCH(QByteArray, expected);
    if (!QFile::exists(program))
        QSKIP("The program for this case is not installed.");

    StandIns s;
    QVERIFY(QFile::copy(QStringLiteral("/bin/sleep"), s.path("someverylongprogramname")));
    args.replaceInStrings(QStringLiteral("%1"), s.path("someverylongprogramname"));
    QProcess *p = s.start(program, args);
    QVERIFY(p);
    // The stand-in must have reached its final form (exec, comm rewrite) before it is listed.
    QTRY_COMPARE(procFile(p->processId(), "comm").trimmed(), expected.left(15));
    const QByteArray text = listing();
    QCOMPARE(namesOf(text, p->processId()), QByteArrayList{expected});
    QVERIFY(!text.toLower().contains("brindlecast"));
}

// A caster that has exited but was not reaped yet (its parent alive and not waiting) is not running,
// and is not listed: taken for one, it would never be restarted.
void TestCompanions::eachStandInListedOnce()
{
    StandIns s;
    QProcess *a = s.sleeper("brindleCast.exe");
    QProcess *b = s.start(s.path("brindleCast.exe"), strings({"300"}));
    QVERIFY(a && b);
    QVERIFY(s.start(QStringLiteral("/bin/sh"), strings({"-c", "read x", "brindleCast.exe"})));
    // The child exits once its parent has become a sleep, which never reaps it.
    QVERIFY(s.start(QStringLiteral("/bin/sh"),
                    {QStringLiteral("-c"),
                     QStringLiteral("(sleep 0.2; exec \"$1\" 0) & echo $! >\"$2\"; "
                                    "exec sleep 300"),
                     QStringLiteral("sh"), s.path("brindleCast.exe"), s.path("dead")}));
    QTRY_VERIFY(s.pidsIn("dead").size() == 1 && statFields(s.pidsIn("dead").constFirst()).value(0) == "Z");

    const QByteArray text = listing();
    QCOMPARE(text.toLower().count("brindlecast"), 2);
    QCOMPARE(namesOf(text, a->processId()), QByteArrayList{"brindleCast.exe"});
    QCOMPARE(namesOf(text, b->processId()), QByteArrayList{"brindleCast.exe"});
    QCOMPARE(namesOf(text, s.pidsIn("dead").constFirst()), QByteArrayList());
}

void TestCompanions::longListingReadWhole()
{
    const int count = 300;
    StandIns s;
    const QString loop =
        QStringLiteral("i=0; while [ $i -lt %1 ]; do sleep 300 & echo $! >>\"$0\"; i=$((i+1)); done; read x");
    QVERIFY(s.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), loop.arg(count), s.path("pids")}));
    QTRY_COMPARE_WITH_TIMEOUT(s.pidsIn("pids").size(), count, 30000);
    const QList<qint64> pids = s.pidsIn("pids");
    for (qint64 pid : pids) {
        s.track(pid);
        QTRY_COMPARE(procFile(pid, "comm"), QByteArray("sleep\n")); // a child may not have become sleep yet
    }

    const Run r = run("tasklist");
    QCOMPARE(r.exitCode, 0);
    QVERIFY(r.out.endsWith("\r\n"));
    for (qint64 pid : pids)
        QCOMPARE(namesOf(r.out, pid), QByteArrayList{"sleep"});
}

void TestCompanions::killsMatches_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("as the watchdog calls it") << strings({"/IM", "brindleCast.exe", "/T", "/F"});
    QTest::newRow("other case") << strings({"/IM", "BRINDLECAST.EXE", "/T", "/F"});
    QTest::newRow("lower-case switches first") << strings({"/f", "/t", "/im", "brindlecast.exe"});
    QTest::newRow("dash switches, no /T") << strings({"-IM", "brindleCast.Exe", "-F"});
}

void TestCompanions::killsMatches()
{
    QFETCH(QStringList, args);
    StandIns s;
    QVERIFY(QDir().mkdir(s.path("script")));
    const QList<QProcess *> casters{s.sleeper("brindleCast.exe"),
                                    s.start(s.path("brindleCast.exe"), strings({"300"})),
                                    s.start(s.script("script/brindleCast.exe", scriptThatWaits))};
    const QList<QProcess *> bystanders{
        s.sleeper("brindleCast.exe2"), s.sleeper("brindleCast"), s.sleeper("xbrindleCast.exe"),
        s.start(QStringLiteral("/bin/sh"), strings({"-c", "read x", "brindleCast.exe"}))};
    QVERIFY(!casters.contains(nullptr) && !bystanders.contains(nullptr));
    QByteArray expected;
    for (QProcess *p : casters)
        expected += successLine(p->processId(), QCoreApplication::applicationPid());

    const Run r = run("taskkill", args);
    QCOMPARE(r.exitCode, 0);
    for (QProcess *p : casters) {
        QVERIFY(p->waitForFinished(5000));
        QCOMPARE(p->exitStatus(), QProcess::CrashExit);
        QCOMPARE(p->exitCode(), SIGKILL);
    }
    QCOMPARE(sortedLines(r.out), sortedLines(expected));
    for (QProcess *p : bystanders)
        QVERIFY(p->state() == QProcess::Running && startedAt(p->processId()) > 0);
}

void TestCompanions::nothingMatches_data()
{
    QTest::addColumn<QString>("image"); // %1: a file that must not come into being
    QTest::newRow("no such name") << "nosuchimage_zz";
    QTest::newRow("prefix of a running one") << "brindleCast";
    QTest::newRow("longer than a running one") << "brindleCast.exe.exe";
    QTest::newRow("wildcard") << "*";
    QTest::newRow("command separator") << "a; touch %1";
    QTest::newRow("command substitution") << "$(touch %1)";
    QTest::newRow("backquotes") << "`touch %1`";
    QTest::newRow("pipe") << "brindleCast.exe | touch %1";
}

void TestCompanions::nothingMatches()
{
    QFETCH(QString, image);
    StandIns s;
    const QString marker = s.path("marker");
    if (image.contains(QLatin1String("%1")))
        image = image.arg(marker);
    QProcess *caster = s.sleeper("brindleCast.exe");
    QVERIFY(caster);

    const Run r = run("taskkill", {QStringLiteral("/IM"), image, QStringLiteral("/T"), QStringLiteral("/F")});
    QCOMPARE(r.exitCode, 128);
    QCOMPARE(r.err, "ERROR: The process \"" + image.toUtf8() + "\" not found.\r\n");
    QCOMPARE(r.out, QByteArray());
    QVERIFY(!QFile::exists(marker));
    QCOMPARE(caster->state(), QProcess::Running);
}

void TestCompanions::badUsage_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::newRow("nothing") << QStringList();
    QTest::newRow("no /IM") << strings({"/T", "/F"});
    QTest::newRow("/IM without name") << strings({"/F", "/IM"});
    QTest::newRow("two /IM") << strings({"/IM", "brindleCast.exe", "/IM", "other"});
    QTest::newRow("unknown switch") << strings({"/IM", "brindleCast.exe", "/X"});
    QTest::newRow("stray word") << strings({"/IM", "brindleCast.exe", "extra"});
    QTest::newRow("switch without slash") << strings({"IM", "brindleCast.exe"});
    QTest::newRow("longer switch") << strings({"/IMAGE", "brindleCast.exe"});
    QTest::newRow("empty image name") << strings({"/IM", "", "/T", "/F"});
}

void TestCompanions::badUsage()
{
    QFETCH(QStringList, args);
    StandIns s;
    QProcess *caster = s.sleeper("brindleCast.exe");
    QVERIFY(caster);

    const Run r = run("taskkill", args);
    QCOMPARE(r.exitCode, 1);
    QVERIFY(r.err.startsWith("ERROR: "));
    QCOMPARE(r.out, QByteArray());
    QCOMPARE(caster->state(), QProcess::Running);
}

void TestCompanions::namesRoundTrip_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QByteArray>("listed");
    QTest::newRow("invalid byte") << QByteArray("brindleCast\xe9") << QByteArray("brindleCast_");
    QTest::newRow("valid UTF-8") << QByteArray("brindleC\xc3\xa4st\xe2\x82\xac\xf0\x9f\x98\x80")
                                 << QByteArray("brindleC\xc3\xa4st\xe2\x82\xac\xf0\x9f\x98\x80");
    QTest::newRow("overlong forms") << QByteArray("a\xc0\xaf\xe0\x80\xaf\xf0\x8f\xbf\xbf")
                                    << QByteArray("a_________");
    QTest::newRow("surrogate, above U+10FFFF")
        << QByteArray("a\xed\xa0\x80\xf4\x90\x80\x80") << QByteArray("a_______");
    QTest::newRow("cut sequences") << QByteArray("a\xe2\x82.\xf0\x9f\x98") << QByteArray("a__.___");
}

// The watchdog decodes the listing as UTF-8 and hands a listed name back to taskkill: whatever the
// file is called, that name must find the process, and only it.
void TestCompanions::namesRoundTrip()
{
    QFETCH(QByteArray, file);
    QFETCH(QByteArray, listed);
    StandIns s;
    QProcess *target = s.sleeper(file);
    QProcess *bystander = s.sleeper("brindleCast.exe");
    QVERIFY(target && bystander);
    QCOMPARE(namesOf(listing(), target->processId()), QByteArrayList{listed});

    const Run r = run("taskkill", {QStringLiteral("/IM"), QString::fromUtf8(listed), QStringLiteral("/T"),
                                   QStringLiteral("/F")});
    QCOMPARE(r.exitCode, 0);
    QCOMPARE(r.out, successLine(target->processId(), QCoreApplication::applicationPid()));
    QVERIFY(target->waitForFinished(5000));
    QCOMPARE(bystander->state(), QProcess::Running);
}

void TestCompanions::neverLeavesStopped_data()
{
    QTest::addColumn<QByteArray>("output"); // read, full (never read until the tree is gone), closed
    QTest::addColumn<int>("signal");        // sent once taskkill has begun to stop the tree
    QTest::newRow("output pipe full, never read") << QByteArray("full") << 0;
    QTest::newRow("output pipe closed for reading") << QByteArray("closed") << 0;
    QTest::newRow("SIGINT") << QByteArray("read") << int(SIGINT);
    QTest::newRow("SIGTSTP") << QByteArray("read") << int(SIGTSTP);
    QTest::newRow("SIGHUP") << QByteArray("read") << int(SIGHUP);
}

// taskkill stops a tree before it ends it. Whatever happens to it or to its output meanwhile, every
// process of the tree ends, none is left stopped, and the exit status says that they were ended.
void TestCompanions::neverLeavesStopped()
{
    QFETCH(QByteArray, output);
    QFETCH(int, signal);
    const int count = 150; // a report longer than any output buffer
    StandIns s;
    QProcess *caster = s.start(s.script("brindleCast.exe", "#!/bin/sh\n"
                                                           "i=0; while [ $i -lt $2 ]; do\n"
                                                           "  sleep 300 & echo $! >>\"$1\"; i=$((i+1))\n"
                                                           "done; wait\n"),
                               {s.path("pids"), QString::number(count)});
    QVERIFY(caster);
    QTRY_COMPARE_WITH_TIMEOUT(s.pidsIn("pids").size(), count, 30000);
    QList<qint64> tree = s.pidsIn("pids");
    for (qint64 pid : tree)
        s.track(pid);
    tree << caster->processId();
    QList<qint64> starts;
    for (qint64 pid : tree)
        starts << startedAt(pid);
    // "pid state" of each process of the tree that still runs.
    auto survivors = [&] {
        QByteArrayList alive;
        for (int i = 0; i < tree.size(); ++i)
            if (startedAt(tree[i]) == starts[i])
                alive << QByteArray::number(tree[i]) + ' ' + statFields(tree[i]).value(0);
        return alive;
    };

    const QByteArray fifo = QFile::encodeName(s.path("report"));
    QFile reader;
    QProcess taskkill;
    if (output != "read") { // a pipe of our own, filled by our own writer before taskkill gets it when "full"
        QCOMPARE(::mkfifo(fifo.constData(), 0600), 0);
        QVERIFY(reader.open(::open(fifo.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC), QIODevice::ReadOnly,
                            QFileDevice::AutoCloseHandle));
        const int writer = ::open(fifo.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        QVERIFY(writer >= 0);
        const char byte = 'x';
        while (output == "full" && ::write(writer, &byte, 1) == 1) {
        }
        ::close(writer);
        taskkill.setStandardOutputFile(s.path("report"));
    }
    taskkill.start(QStringLiteral(ZUVA_BIN_DIR "/taskkill"), strings({"/IM", "brindleCast.exe", "/T", "/F"}));
    QVERIFY(taskkill.waitForStarted(5000));
    if (output == "closed")
        reader.close();
    if (signal) {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < 10000 && startedAt(tree.last()) == starts.last()
               && statFields(tree.last()).value(0) != "T") {
        }
        ::kill(static_cast<pid_t>(taskkill.processId()), signal);
    }

    QTRY_COMPARE(survivors(), QByteArrayList());
    if (output == "full") {
        QCOMPARE(taskkill.state(), QProcess::Running); // still waiting to print its report
        reader.close();
    }
    if (taskkill.state() != QProcess::NotRunning) // a SIGTSTP stops taskkill itself
        ::kill(static_cast<pid_t>(taskkill.processId()), SIGCONT);
    taskkill.waitForFinished(5000);
    QCOMPARE(taskkill.state(), QProcess::NotRunning);
    if (taskkill.exitStatus() == QProcess::CrashExit)
        QCOMPARE(taskkill.exitCode(), signal); // ended by the signal, once the tree was gone
    else
        QCOMPARE(taskkill.exitCode(), 0);
}

void TestCompanions::killsTree_data()
{
    QTest::addColumn<bool>("tree");
    QTest::newRow("/T") << true;
    QTest::newRow("without /T") << false;
}

void TestCompanions::killsTree()
{
    QFETCH(bool, tree);
    StandIns s;
    // caster -> sh (child) -> sleep (grandchild), the pids written next to the given path.
    QProcess *caster = s.start(s.script("brindleCast.exe",
                                        "#!/bin/sh\n"
                                        "/bin/sh -c 'sleep 300 & echo $! >\"$0.grandchild\"; wait' \"$1\" &\n"
                                        "echo $! >\"$1.child\"\n"
                                        "wait\n"),
                               {s.path("tree")});
    QVERIFY(caster);
    QTRY_VERIFY(!s.pidsIn("tree.child").isEmpty() && !s.pidsIn("tree.grandchild").isEmpty());
    const qint64 root = caster->processId();
    const qint64 child = s.pidsIn("tree.child").first(), grandchild = s.pidsIn("tree.grandchild").first();
    s.track(child);
    s.track(grandchild);
    const qint64 childStart = startedAt(child), grandchildStart = startedAt(grandchild);
    QVERIFY(childStart > 0 && grandchildStart > 0);

    const Run r = run("taskkill", tree ? strings({"/IM", "brindleCast.exe", "/F", "/T"})
                                       : strings({"/IM", "brindleCast.exe", "/F"}));
    QCOMPARE(r.exitCode, 0);
    QVERIFY(caster->waitForFinished(5000));
    QCOMPARE(caster->exitCode(), SIGKILL);

    QByteArray expected = successLine(root, QCoreApplication::applicationPid());
    if (tree) {
        expected += successLine(child, root) + successLine(grandchild, child);
        QTRY_VERIFY(startedAt(child) != childStart && startedAt(grandchild) != grandchildStart);
    } else {
        QTest::qWait(200);
        QCOMPARE(startedAt(child), childStart);
        QCOMPARE(startedAt(grandchild), grandchildStart);
    }
    QCOMPARE(sortedLines(r.out), sortedLines(expected));
}

void TestCompanions::sparesItselfAndCaller()
{
    StandIns s;
    // A taskkill asked to end its own name.
    QVERIFY(QFile::copy(QStringLiteral(ZUVA_BIN_DIR "/taskkill"), s.path("selfkiller")));
    QProcess direct;
    direct.start(s.path("selfkiller"), strings({"/IM", "selfkiller", "/T", "/F"}));
    QVERIFY(direct.waitForFinished(15000));
    QCOMPARE(direct.exitStatus(), QProcess::NormalExit);
    QCOMPARE(direct.exitCode(), 128);

    // A script asking taskkill to end the script's own name, with its tree.
    QProcess caller;
    caller.start(s.script("killsparent.sh",
                          "#!/bin/sh\n\"$1\" /IM KillsParent.sh /T /F 2>/dev/null\necho \"rc=$?\"\n"),
                 {QStringLiteral(ZUVA_BIN_DIR "/taskkill")});
    QVERIFY(caller.waitForFinished(15000));
    QCOMPARE(caller.exitStatus(), QProcess::NormalExit);
    QCOMPARE(caller.readAllStandardOutput(), QByteArray("rc=128\n"));
}

QTEST_GUILESS_MAIN(TestCompanions)
#include "tst_companions.moc"

// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The Tollbeck authors

#include "app/form1.h"

#include "loopback/portconfig.h"
#include "serial/portnumber.h"
#include "support/inifile.h"
#include "version.h"

#include <QAccessibleWidget>
#include <QCloseEvent>
#include <QEventLoop>
#include <QFile>
#include <QFontDatabase>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QSessionManager>
#include <QSettings>
#include <QTextBlock>
#include <QTextDocument>
#include <QTimer>

#include <chrono>
#include <utility>

using namespace Qt::StringLiterals;

namespace {

constexpr double kTwipsPerInch = 1440.0;
// How long a screen reader takes to catch up when the focus moves into the log and out again.
constexpr auto kCatchUp = std::chrono::milliseconds(400);

// The layout is in twips, 1/1440 of an inch; the screen's logical DPI turns them into pixels.
int pixelsX(const QWidget &widget, int twips)
{
    return qRound(twips * widget.logicalDpiX() / kTwipsPerInch);
}
int pixelsY(const QWidget &widget, int twips)
{
    return qRound(twips * widget.logicalDpiY() / kTwipsPerInch);
}

// The layout was drawn for the classic 8-point dialog face, which is narrower than most Linux
// desktop fonts; a face with the same metrics keeps every caption inside its box.
QFont dialogFont()
{
    QFont font;
    font.setFamilies(
        {u"MS Sans Serif"_s, u"Microsoft Sans Serif"_s, u"Liberation Sans"_s, u"Arial"_s});
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(8);
    return font;
}

QFont portListFont()
{
    // Fixedsys is a Windows face; elsewhere the system's fixed-pitch font stands in.
    QFont font = QFontDatabase::families().contains(u"Fixedsys"_s)
                     ? QFont(u"Fixedsys"_s)
                     : QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPointSizeF(9);
    font.setWeight(QFont::Normal);
    return font;
}

QFont portLabelFont()
{
    QFont font(u"Arial"_s);
    font.setStyleHint(QFont::SansSerif); // any sans-serif face where Arial is missing
    font.setPointSizeF(9.75);
    font.setWeight(QFont::Bold);
    return font;
}

// Qt gives a plain top-level widget the role of a client area, which AT-SPI calls a filler;
// the window is a frame.
QAccessibleInterface *windowAccessible(const QString &className, QObject *object)
{
    if (className != QLatin1String(Form1::staticMetaObject.className()))
        return nullptr;
    return new QAccessibleWidget(qobject_cast<QWidget *>(object), QAccessible::Window);
}

QPushButton *newButton(const QString &caption, QWidget *parent)
{
    auto *button = new QPushButton(caption, parent);
    button->setAutoDefault(false);
    button->setDefault(false);
    return button;
}

QLabel *newLabel(const QString &caption, QWidget *parent)
{
    auto *label = new QLabel(caption, parent);
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label->setTextFormat(Qt::PlainText);
    return label;
}

} // namespace

Form1::Form1(QSettings &settings,
             PortMap ports,
             SerialDevices devices,
             RunClock &clock,
             Desktop desktop,
             QWidget *parent)
    : QWidget(parent,
              Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint
                  | Qt::WindowCloseButtonHint)
    , Command3(newButton(u"&Help"_s, this))
    , Frame1(new QGroupBox(this))
    , Label4(newLabel(u"3. Click Start to begin the test."_s, Frame1))
    , Label3(newLabel(u"2. Select the port number your interface cable is connected to."_s, Frame1))
    , Label1(newLabel(u"1. Connect your interface cable to your serial port, but do not connect "
                      "it to your radio."_s,
                      Frame1))
    , Combo1(new PortList(this))
    , MSComm1(std::move(ports))
    , Command1(newButton(u"&Start"_s, this))
    , Text1(new LogPane(this))
    , Command2(newButton(u"&Exit"_s, this))
    , Label2(newLabel(u"Port:"_s, this))
    , m_settings(settings)
    , m_devices(std::move(devices))
    , m_clock(clock)
    , m_desktop(std::move(desktop))
{
    static const bool asFrame = (QAccessible::installFactory(windowAccessible), true);
    Q_UNUSED(asFrame);
    // The icon lives in this library's resources, which the linker keeps only when they are
    // asked for by name.
    Q_INIT_RESOURCE(app);
    QIcon icon;
    for (const int size : {32, 48, 64, 128, 256})
        icon.addFile(u":/icons/tollbeck-%1.png"_s.arg(size), QSize(size, size));
    setWindowIcon(icon);
    setFont(dialogFont());
    Combo1->setEditable(false);
    Combo1->setFont(portListFont());
    Label2->setFont(portLabelFont());
    Text1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Text1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Text1->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    Text1->setTabChangesFocus(true);
    Text1->setUndoRedoEnabled(false); // the log only grows; an undo history would too
    // The log is plain ASCII; skipping text shaping halves the cost of laying out the dump
    // line that each batch of appends extends.
    QFont logFont = Text1->font();
    logFont.setStyleStrategy(QFont::PreferNoShaping);
    Text1->setFont(logFont);
    // What a screen reader says first of a control; the buttons' are their captions. On Linux
    // Qt names a closed list by its current entry and leaves its label to the buddy relation.
    Label2->setBuddy(Combo1);
    Text1->setAccessibleName(u"Log"_s);
    // Start's description holds the instructions until a run replaces them with its verdict.
    Command1->setAccessibleDescription(
        QStringList{Label1->text(), Label3->text(), Label4->text()}.join(u' '));

    setFixedSize(pixelsX(*this, 7080), pixelsY(*this, 6030));
    // The layout, in twips. Each control is named as in the layout, for accessibility tools and
    // tests. A height of 0 lets the control's font decide, as the port list's does.
    const struct
    {
        QWidget *control;
        const char *name;
        int left, top, width, height;
    } layout[] = {
        {Command3, "Command3", 5355, 810, 1455, 375},
        {Frame1, "Frame1", 135, 45, 4875, 1365},
        {Label4, "Label4", 180, 900, 4560, 240},
        {Label3, "Label3", 180, 675, 4560, 195},
        {Label1, "Label1", 180, 270, 4560, 420},
        {Combo1, "Combo1", 720, 1575, 1140, 0},
        {Command1, "Command1", 5355, 315, 1455, 375},
        {Text1, "Text1", 90, 2025, 6900, 3840},
        {Command2, "Command2", 5355, 1305, 1455, 375},
        {Label2, "Label2", 180, 1620, 555, 285},
    };
    for (const auto &[control, name, left, top, width, height] : layout) {
        control->setObjectName(QLatin1String(name));
        control->setGeometry(pixelsX(*this, left),
                             pixelsY(*this, top),
                             pixelsX(*this, width),
                             height > 0 ? pixelsY(*this, height) : control->sizeHint().height());
    }

    setTabOrder(Command2, Text1);
    setTabOrder(Text1, Command1);
    setTabOrder(Command1, Combo1);
    setTabOrder(Combo1, Command3);

    connect(Combo1, &QComboBox::currentIndexChanged, this, &Form1::namePortLabel);
    connect(Command1, &QPushButton::clicked, this, &Form1::Command1_Click);
    connect(Command2, &QPushButton::clicked, this, &Form1::Command2_Click);
    connect(Command3, &QPushButton::clicked, this, &Form1::Command3_Click);
    connect(qGuiApp, &QGuiApplication::commitDataRequest, this, [this](QSessionManager &manager) {
        Boolean cancel = kFalse;
        Form_QueryUnload(cancel, AppWindows);
        // A session manager heeds cancel() only from a client it has allowed to interact.
        if (cancel != kFalse && manager.allowsInteraction())
            manager.cancel();
    });

    Form_Load();

    centreOnScreen();
    Command2->setFocus();
}

Form1::~Form1() = default;

void Form1::Test()
{
    const RunPorts ports{[this] { InitPort(); },
                         [this] { return Combo1->currentText(); },
                         MSComm1.ports(),
                         m_devices};
    LoopbackTest(*this, MSComm1, m_clock, ports).run();
}

void Form1::Testout(const QString &text)
{
    Text1->appendText(text);
}

void Form1::InitPort()
{
    configureForLoopback(MSComm1,
                         Combo1->currentText(),
                         [this](const QString &title, const QString &text) {
                             m_desktop.warn(this, title, text);
                         });
}

void Form1::Command1_Click()
{
    Test();
}

void Form1::Command2_Click()
{
    const std::optional<QString> failure = setIniValue(m_settings.fileName(),
                                                       savedPortGroup(),
                                                       savedPortKey(),
                                                       portNumberText(Combo1->currentText()));
    if (failure)
        m_desktop.warn(this,
                       u"Error"_s,
                       u"The selected port could not be saved: %1. Tollbeck closes all the same; "
                       "choose the port again at the next start."_s.arg(*failure));
    close();
}

void Form1::Command3_Click()
{
    const QString helpFile = m_desktop.programDir + u"/readme.txt"_s;
    if (Module1::FileExists(helpFile) == kFalse)
        return;
    m_desktop.open(this, helpFile, [this, helpFile] { showHelpText(helpFile); });
}

void Form1::Form_QueryUnload(Boolean &cancel, qint16 unloadMode)
{
    Q_UNUSED(unloadMode); // every kind of close is refused alike during a test
    if (TestRunning != kFalse)
        cancel = kTrue;
}

void Form1::closeEvent(QCloseEvent *event)
{
    Boolean cancel = kFalse;
    Form_QueryUnload(cancel, event->spontaneous() ? FormControlMenu : FormCode);
    event->setAccepted(cancel == kFalse);
    // Sighted users see the run going on; a screen reader finds why the window stays open with the
    // log, which has the focus during a run.
    if (cancel != kFalse)
        Text1->setAccessibleDescription(
            u"The test is running: close the window when it has ended."_s);
}

void Form1::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    // Qt draws the focus ring only once the keyboard has moved the focus in a window. Space
    // presses Exit from the start, so the ring shows from the start.
    setAttribute(Qt::WA_KeyboardFocusChange);
}

void Form1::moveEvent(QMoveEvent *event)
{
    QWidget::moveEvent(event);
    // The window manager frames the window only once it is mapped; centre the frame then.
    if (!m_centredWithFrame && frameGeometry() != geometry()) {
        m_centredWithFrame = true;
        centreOnScreen();
    }
}

void Form1::centreOnScreen()
{
    // move() places the frame's top-left corner; until the frame is known it is the window's.
    if (const QScreen *screen = this->screen())
        move(pos() + screen->availableGeometry().center() - frameGeometry().center());
}

void Form1::Form_Load()
{
    setWindowTitle(
        u"%1 v%2.%3.%4   By Varnholt - QX0ZZZ"_s.arg(QString::fromLatin1(Version::kTitle))
            .arg(Version::kMajor)
            .arg(Version::kMinor)
            .arg(Version::kRevision));

    for (int port = 1; port <= kLastPort; ++port)
        Combo1->addItem(portEntryText(port));
    Combo1->setTooltips([this] { return portTooltips(); });

    // Exit writes the file behind QSettings' back (setIniValue), so this store is only ever
    // read: a setValue here would rewrite the user's whole file.
    Combo1->setCurrentIndex(savedPort(m_settings) - 1);

    Text1->setReadOnly(true);
    Text1->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
}

// "/dev/ttyUSB0: FT232R USB UART, FTDI", "/dev/ttyS3: not present", or the device alone. A USB
// device not present may be an adapter plugged in that became no port: the reason follows.
QStringList Form1::portTooltips() const
{
    const QStringList devices = MSComm1.ports().devices();
    const QList<DeviceFacts> facts = m_devices.describe(devices);
    QStringList reasons;
    for (const UsbAdapter &adapter : m_devices.adaptersNotPorts())
        reasons << adapter.reason();
    const QString notPresent
        = reasons.isEmpty() ? u"not present"_s : u"not present. "_s + reasons.join(u' ');
    QStringList tips;
    for (qsizetype entry = 0; entry < devices.size(); ++entry) {
        const DeviceFacts &device = facts[entry];
        const bool mainboard = devices[entry].startsWith(u"/dev/ttyS"_s);
        const QString about = device.present ? device.known()
                              : mainboard    ? u"not present"_s
                                             : notPresent;
        tips << (about.isEmpty() ? devices[entry] : devices[entry] + u": "_s + about);
    }
    return tips;
}

// The desktop could not open the help file (no xdg-open, or no viewer for it): show its text in
// a plain window of our own.
void Form1::showHelpText(const QString &path)
{
    if (!m_helpText) {
        m_helpText = new QPlainTextEdit(this);
        m_helpText->setObjectName(u"HelpText"_s);
        m_helpText->setWindowFlag(Qt::Window);
        m_helpText->setWindowTitle(u"Tollbeck Help"_s);
        m_helpText->setReadOnly(true);
        // A caret that the keys move, as in the log, lets a screen reader read line by line.
        m_helpText->setTextInteractionFlags(Qt::TextSelectableByMouse
                                            | Qt::TextSelectableByKeyboard);
        m_helpText->setLineWrapMode(QPlainTextEdit::NoWrap);
        // readme.txt is laid out in columns for a fixed-pitch face.
        m_helpText->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
        const QFontMetrics metrics(m_helpText->font());
        m_helpText->resize(metrics.horizontalAdvance(QString(84, u'x')), metrics.lineSpacing() * 40);
    }
    QFile file(path);
    m_helpText->setPlainText(file.open(QIODevice::ReadOnly)
                                 ? QString::fromUtf8(file.readAll())
                                 : u"%1 could not be read: %2."_s.arg(path, file.errorString()));
    m_helpText->show();
    m_helpText->raise();
    m_helpText->activateWindow();
}

// On Linux Qt gives a screen reader no selected entry of a closed list; the name of its label,
// which is read first, carries it.
void Form1::namePortLabel()
{
    Label2->setAccessibleName(u"Port: "_s + Combo1->currentText());
}

// The log says the run has begun; then the focus goes to the log, before the control that holds
// it is disabled and Qt moves it along the tab order on its own. The caret stays at the log's
// start, so a screen reader reads that line, and the user reads on from there as the log grows.
void Form1::runStarted(const RunRecord &run)
{
    TestRunning = kTrue;
    Text1->clearLog();
    LogWriter::runStarted(run);
    Text1->setFocus();
    Text1->flush();
    Text1->setTextCursor(QTextCursor(Text1->document()));
    setControlsEnabled(false);
    // Once the run pauses after every byte, a screen reader's questions are answered only
    // between the pauses: let it read the first line before the run begins.
    if (QAccessible::isActive()) {
        QEventLoop reading;
        QTimer::singleShot(kCatchUp, &reading, &QEventLoop::quit);
        reading.exec();
    }
}

// Start, which ran the test, takes the focus back with the verdict as its description, so a
// screen reader speaks it at once; the log's caret waits at the verdict for a reader who goes
// back into the log. A screen reader speaks a control that takes the focus only once it has seen
// another one take it, and it drops a focus event that a newer one overtook. During a run it
// falls behind (the run answers its questions only between the pauses after each byte), so the
// log keeps the focus a little while after the run, for the reader to catch up; otherwise the
// focus would seem never to have left Start, and the verdict would go unspoken.
void Form1::runEnded(const RunRecord &run)
{
    LogWriter::runEnded(run);
    Text1->flush();
    TestRunning = kFalse;
    setControlsEnabled(true);
    Text1->setAccessibleDescription({});
    if (const QStringList verdict = LogText::verdict(run); !verdict.isEmpty()) {
        Command1->setAccessibleDescription(verdict.join(u' '));
        const QTextDocument &log = *Text1->document();
        Text1->setTextCursor(QTextCursor(
            log.find(verdict.first(), log.characterCount(), QTextDocument::FindBackward).block()));
    }
    QTimer::singleShot(kCatchUp, Command1, [this] {
        if (Text1->hasFocus()) // the user may have moved on meanwhile
            Command1->setFocus();
    });
}

void Form1::setControlsEnabled(bool enabled)
{
    for (QWidget *control : std::initializer_list<QWidget *>{Command1, Command2, Command3, Combo1})
        control->setEnabled(enabled);
}

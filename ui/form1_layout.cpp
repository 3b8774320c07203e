// Building the window: every control, menu, dialog and component with its
// initial state, the anchors, the tab order and the wiring of the events.
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QImageReader>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPalette>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QStatusBar>
#include <QStyleOptionButton>
#include <QStylePainter>
#include <QStyledItemDelegate>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWheelEvent>

#include "ui/anchors.h"
#include "ui/form1.h"
#include "ui/intervals.h"
#include "ui/jobcontext.h"
#include "ui/statusbarpanel.h"

using tandrel::ui::AnchorLayout;
using tandrel::ui::StatusBarPanel;

// The icons are compiled into the window's static library; a program that
// links it must register them before the first look-up.
static void RegisterIcons()
{
    Q_INIT_RESOURCE(resources);
}

namespace {

constexpr int kClientWidth = 692;
constexpr int kClientHeight = 454;
constexpr int kMinimumOuterWidth = 700;
constexpr int kMinimumOuterHeight = 488;
// The frame that the minimum outer size allows for when the window system
// reports none (no window manager, or before the window is mapped): borders
// of 4 pixels and a title bar of 22.
constexpr QSize kAssumedFrame(8, 30);

constexpr Qt::Edges kTBLR = Qt::TopEdge | Qt::BottomEdge | Qt::LeftEdge | Qt::RightEdge;
constexpr Qt::Edges kTR = Qt::TopEdge | Qt::RightEdge;
constexpr Qt::Edges kBL = Qt::BottomEdge | Qt::LeftEdge;
constexpr Qt::Edges kBR = Qt::BottomEdge | Qt::RightEdge;
constexpr Qt::Edges kBLR = Qt::BottomEdge | Qt::LeftEdge | Qt::RightEdge;

// Every entry of a list box is one 16-pixel line.
class LineDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        QSize size = QStyledItemDelegate::sizeHint(option, index);
        size.setHeight(16);
        return size;
    }
};

// A check box whose box and text sit at its top left, the text wrapping onto
// further lines when it is wider than the control.
class WrappingCheckBox : public QCheckBox {
public:
    using QCheckBox::QCheckBox;

protected:
    // Every line of the text toggles the box, not only the first.
    bool hitButton(const QPoint& pos) const override { return rect().contains(pos); }

    void paintEvent(QPaintEvent*) override
    {
        QStylePainter painter(this);
        QStyleOptionButton option;
        initStyleOption(&option);
        const QString text = option.text;
        option.text.clear();
        option.rect.setHeight(std::min(height(), fontMetrics().height() + 2));
        const QRect box = style()->subElementRect(QStyle::SE_CheckBoxIndicator, &option, this);
        painter.drawControl(QStyle::CE_CheckBox, option);
        const int gap = style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing, &option, this);
        const QRect textRect = rect().adjusted(box.right() + 1 + gap, 0, 0, 0);
        painter.drawItemText(textRect, Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, palette(), isEnabled(), text,
                             QPalette::WindowText);
    }
};

// The interval box: the wheel picks another interval only while the box has
// the focus, and does not give it the focus. Scrolling past it leaves the
// interval (and with it "Overwrite") as it was; the wheel goes on to the
// box's parent.
class IntervalComboBox : public QComboBox {
public:
    explicit IntervalComboBox(QWidget* parent) : QComboBox(parent) { setFocusPolicy(Qt::StrongFocus); }

protected:
    void wheelEvent(QWheelEvent* e) override
    {
        if (!hasFocus()) {
            e->ignore();
            return;
        }
        QComboBox::wheelEvent(e);
    }
};

QFont DesignFont(const char* family, qreal points)
{
    QFont font {QString::fromLatin1(family)};
    font.setPointSizeF(points);
    font.setStyleHint(QFont::SansSerif);
    return font;
}

// Where the design's faces are missing, the nearest at the same size: the
// metric twin of Arial, else DejaVu Sans Condensed, whose cell at 8.25 points
// is the design's 5 x 13 pixels, else DejaVu Sans.
void SubstituteFonts()
{
    const QStringList nearest {QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans Condensed"),
                               QStringLiteral("DejaVu Sans")};
    for (const char* family : {"Arial", "Microsoft Sans Serif", "Tahoma"}) {
        const QString name = QString::fromLatin1(family);
        if (QFont::substitutes(name).isEmpty()) QFont::insertSubstitutions(name, nearest);
    }
}

// An icon of the resources by its base name: the .ico where Qt reads it,
// else the .png made from the same picture.
QIcon ResourceIcon(const QString& base)
{
    const QString ico = QStringLiteral(":/icons/%1.ico").arg(base);
    if (QImageReader(ico).canRead()) return QIcon(ico);
    return QIcon(QStringLiteral(":/icons/%1.png").arg(base));
}

// The list boxes: tooltip background, control text.
void ListColours(QWidget* list)
{
    QPalette palette = list->palette();
    palette.setColor(QPalette::Base, palette.color(QPalette::ToolTipBase));
    palette.setColor(QPalette::Text, palette.color(QPalette::WindowText));
    list->setPalette(palette);
}

// "Add Folder" and "Remove": control face background, tooltip text.
void InfoTextColours(QWidget* button)
{
    QPalette palette = button->palette();
    palette.setColor(QPalette::Button, palette.color(QPalette::Window));
    palette.setColor(QPalette::ButtonText, palette.color(QPalette::ToolTipText));
    button->setPalette(palette);
}

template <typename W, typename... Args>
W* Make(QWidget* parent, const char* name, QRect geometry, Args&&... args)
{
    auto* widget = new W(std::forward<Args>(args)..., parent);
    widget->setObjectName(QString::fromLatin1(name));
    widget->setGeometry(geometry);
    return widget;
}

QAction* NameAction(QAction* action, const char* name)
{
    action->setObjectName(QString::fromLatin1(name));
    return action;
}

QListWidget* MakeListBox(QWidget* parent, const char* name, QRect geometry)
{
    auto* list = Make<QListWidget>(parent, name, geometry);
    list->setFont(DesignFont("Tahoma", 9.75));
    list->setItemDelegate(new LineDelegate(list));
    list->setSortingEnabled(false);
    list->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    list->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    list->setTextElideMode(Qt::ElideNone);
    list->setAcceptDrops(true);
    list->viewport()->setAcceptDrops(true);
    ListColours(list);
    return list;
}

}  // namespace

Form1::Form1(Form1Services services, QWidget* parent)
    : QMainWindow(parent), jobs_(services.jobs), threads_(services.threads), fileSystem_(services.fileSystem),
      dialogs_(services.dialogs), messageBoxes_(services.messageBoxes), destinations_(services.destinations),
      settings_(services.settings), exclusionsFile_(std::move(services.exclusionsFile)),
      context_(std::make_shared<JobContext>(services.jobs, services.fileSystem, services.destinations,
                                            WindowLink(threads_.Calls(), this), services.schedule.clock)),
      timer1(services.timer ? std::move(services.timer) : std::make_unique<tandrel::ui::QtIntervalTimer>()),
      systemTrayAvailable_(std::move(services.systemTrayAvailable)),
      trayHost_(services.trayHost ? services.trayHost() : tandrel::ui::DetectTrayHost())
{
    schedule_ = services.schedule;
    InitializeComponent();
    BuildRefreshPace();
    ApplyExclusions(settings_ ? tandrel::ExclusionChoices::Load(*settings_, exclusionsFile_)
                              : tandrel::ExclusionChoices());
}

Form1::~Form1()
{
    // The timer and the tray icon go first: no tick arrives any more.
    timer1->Stop();
    timer1->Tick = nullptr;
    threads_.Calls()->Pace(false);
    delete components;
    components = nullptr;
    notifyIcon1 = nullptr;
}

void Form1::InitializeComponent()
{
    RegisterIcons();
    SubstituteFonts();
    setObjectName(QStringLiteral("Form1"));
    // The dialog font of the design, which controls without a font of their
    // own use; the pixel geometry below is laid out for its cell.
    setFont(DesignFont("Microsoft Sans Serif", 8.25));
    components = new QObject(this);
    components->setObjectName(QStringLiteral("components"));
    anchors_ = new AnchorLayout(this);

    // The client area: everything below the menu bar, the status bar included.
    auto* client = new QWidget(this);
    client->setObjectName(QStringLiteral("client"));
    client->resize(kClientWidth, kClientHeight);
    setCentralWidget(client);

    // The pieces in the order they are made, which is also the order of each
    // parent's children.
    BuildBackupListGroup(client);
    BuildDestinationGroup(client);
    BuildStatusBar(client);
    BuildProgressBarAndStart(client);
    ListGovernedControls();
    SetUpTabOrder();
    AnchorControls();
    BuildDialogs();
    BuildMenus();

    // The window itself.
    const QIcon icon = ResourceIcon(QStringLiteral("tandrel"));
    setWindowIcon(icon);
    setWindowTitle(QStringLiteral("Tandrel"));
    setAcceptDrops(false);
    setContextMenuPolicy(Qt::CustomContextMenu);

    BuildTrayIconAndTimer(icon);
    WireEvents();
    BuildScheduleMenus();
    BuildRestoreMenu();
    PlaceWindow();
    notifyIcon1->show();
}

void Form1::BuildBackupListGroup(QWidget* client)
{
    // "Backup list:" and its children, in the order they are added.
    gboxFilestoBackup = Make<QGroupBox>(client, "gboxFilestoBackup", {8, 8, 668, 267}, QStringLiteral("Backup list:"));
    QWidget* files = gboxFilestoBackup;
    cboxSetForget = Make<QCheckBox>(files, "cboxSetForget", {552, 184, 96, 16}, QStringLiteral("Auto Backup"));
    cboxSetForget->setFont(DesignFont("Arial", 8.25));
    cboxSetForget->setEnabled(false);
    lblAutobackup = Make<QLabel>(files, "lblAutobackup", {552, 208, 40, 16}, QStringLiteral("Every:"));
    lblAutobackup->setEnabled(false);
    listboxFilestoBackup = MakeListBox(files, "listboxFilestoBackup", {8, 16, 532, 244});
    listboxFilestoBackup->setSelectionMode(QAbstractItemView::ExtendedSelection);
    listboxFilestoBackup->setContextMenuPolicy(Qt::CustomContextMenu);
    listboxFilestoBackup->setAccessibleName(QStringLiteral("Backup list"));
    btnDelete = Make<QPushButton>(files, "btnDelete", {552, 80, 96, 24}, QStringLiteral("Remove"));
    btnDelete->setFont(DesignFont("Microsoft Sans Serif", 8.25));
    InfoTextColours(btnDelete);
    btnDelete->setEnabled(false);
    btnBrowse = Make<QPushButton>(files, "btnBrowse", {552, 16, 96, 24}, QStringLiteral("Add Files"));
    cboxOverwrite = Make<QCheckBox>(files, "cboxOverwrite", {552, 160, 96, 16}, QStringLiteral("Overwrite"));
    cboxOverwrite->setFont(DesignFont("Arial", 8.25));
    cboxSubDirectories = Make<WrappingCheckBox>(files, "cboxSubDirectories", {552, 120, 96, 32},
                                                QStringLiteral("Include Subdirectories"));
    cboxSubDirectories->setFont(DesignFont("Arial", 8.25));
    cboxSubDirectories->setChecked(true);
    btnAddFolder = Make<QPushButton>(files, "btnAddFolder", {552, 48, 96, 24}, QStringLiteral("Add Folder"));
    btnAddFolder->setFont(DesignFont("Microsoft Sans Serif", 8.25));
    InfoTextColours(btnAddFolder);
    cboxTime = Make<IntervalComboBox>(files, "cboxTime", {552, 224, 96, 21});
    cboxTime->setEditable(false);
    for (const auto& interval : tandrel::ui::kIntervals) cboxTime->addItem(QString::fromUtf8(interval.first));
    cboxTime->setCurrentIndex(-1);
    cboxTime->setEnabled(false);
    cboxTime->setAccessibleName(QStringLiteral("Every:"));
    lblAutobackup->setBuddy(cboxTime);
}

void Form1::BuildDestinationGroup(QWidget* client)
{
    // "Destination Folder:" and its children.
    gboxDestinationFolder =
        Make<QGroupBox>(client, "gboxDestinationFolder", {8, 320, 542, 80}, QStringLiteral("Destination Folder:"));
    QWidget* destination = gboxDestinationFolder;
    listBoxDestinationFolder = MakeListBox(destination, "listBoxDestinationFolder", {8, 48, 522, 20});
    listBoxDestinationFolder->setSelectionMode(QAbstractItemView::SingleSelection);
    listBoxDestinationFolder->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    listBoxDestinationFolder->setAccessibleName(QStringLiteral("Destination Folder"));
    btnDestination =
        Make<QPushButton>(destination, "btnDestination", {434, 16, 96, 24}, QStringLiteral("Select Folder"));
    rboxCD = Make<QRadioButton>(destination, "rboxCD", {224, 16, 80, 24}, QStringLiteral("CD Backup"));
    rboxDirCopy = Make<QRadioButton>(destination, "rboxDirCopy", {8, 16, 96, 24}, QStringLiteral("Directory Copy"));
    rboxConsolidate =
        Make<QRadioButton>(destination, "rboxConsolidate", {112, 16, 104, 24}, QStringLiteral("Consolidate Files"));
    rboxDirCopy->setChecked(true);
    modeButtons_ = {rboxDirCopy, rboxConsolidate, rboxCD};
    for (QRadioButton* mode : modeButtons_) mode->setEnabled(false);
}

void Form1::BuildStatusBar(QWidget* client)
{
    // The status bar along the bottom edge, with its three panels.
    statusBar1 = Make<QStatusBar>(client, "statusBar1", {0, 430, kClientWidth, 24});
    statusBar1->setSizeGripEnabled(false);
    statusBar1->setLayoutDirection(Qt::LeftToRight);
    statusbarpanelTotalFiles =
        new StatusBarPanel(ResourceIcon(QStringLiteral("file")), QStringLiteral("Total Files: 0"), statusBar1);
    statusbarpanelTotalFiles->setObjectName(QStringLiteral("statusbarpanelTotalFiles"));
    statusbarpanelTotalFoldres =
        new StatusBarPanel(ResourceIcon(QStringLiteral("folder")), QStringLiteral("Total Folders: 0"), statusBar1);
    statusbarpanelTotalFoldres->setObjectName(QStringLiteral("statusbarpanelTotalFoldres"));
    statusBarPanel1 = new StatusBarPanel(QIcon(), QString(), statusBar1);
    statusBarPanel1->setObjectName(QStringLiteral("statusBarPanel1"));
    statusBar1->addWidget(statusbarpanelTotalFiles);
    statusBar1->addWidget(statusbarpanelTotalFoldres);
    statusBar1->addWidget(statusBarPanel1, 1);
}

void Form1::BuildProgressBarAndStart(QWidget* client)
{
    progressBar1 = Make<QProgressBar>(client, "progressBar1", {8, 288, 667, 19});
    progressBar1->setRange(0, 100);
    progressBar1->setValue(0);
    progressBar1->setTextVisible(false);
    progressBar1->setAccessibleName(QStringLiteral("Progress"));

    btnStart = Make<QPushButton>(client, "btnStart", {568, 336, 96, 56}, QStringLiteral("Start"));
    btnStart->setEnabled(false);
}

void Form1::SetUpTabOrder()
{
    // Group boxes take no focus; the tab order follows the tab indexes
    // within each parent, parents in their own order.
    setTabOrder(listboxFilestoBackup, btnBrowse);
    setTabOrder(btnBrowse, btnDelete);
    setTabOrder(btnDelete, btnAddFolder);
    setTabOrder(btnAddFolder, cboxOverwrite);
    setTabOrder(cboxOverwrite, cboxSubDirectories);
    setTabOrder(cboxSubDirectories, cboxTime);
    setTabOrder(cboxTime, cboxSetForget);
    setTabOrder(cboxSetForget, btnDestination);
    setTabOrder(btnDestination, listBoxDestinationFolder);
    setTabOrder(listBoxDestinationFolder, rboxConsolidate);
    setTabOrder(rboxConsolidate, rboxDirCopy);
    setTabOrder(rboxDirCopy, rboxCD);
    setTabOrder(rboxCD, btnStart);
}

void Form1::AnchorControls()
{
    // Anchors, parents before their children.
    anchors_->Add(gboxFilestoBackup, kTBLR);
    anchors_->Add(listboxFilestoBackup, kTBLR);
    for (QWidget* w : std::initializer_list<QWidget*> {btnBrowse, btnAddFolder, btnDelete, cboxSubDirectories,
                                                       cboxOverwrite, cboxSetForget, lblAutobackup, cboxTime})
        anchors_->Add(w, kTR);
    anchors_->Add(gboxDestinationFolder, kBLR);
    for (QWidget* w : std::initializer_list<QWidget*> {rboxDirCopy, rboxConsolidate, rboxCD}) anchors_->Add(w, kBL);
    anchors_->Add(btnDestination, Qt::RightEdge);
    anchors_->Add(listBoxDestinationFolder, kBLR);
    anchors_->Add(progressBar1, kBLR);
    anchors_->Add(btnStart, kBR);
    anchors_->Add(statusBar1, kBLR);
}

void Form1::BuildDialogs()
{
    // Dialogs; saveFolder is made on its first use.
    openFileDialog1 = new QFileDialog(this, QStringLiteral("Add files to backup"));
    openFileDialog1->setObjectName(QStringLiteral("openFileDialog1"));
    openFileDialog1->setOption(QFileDialog::DontUseNativeDialog);
    openFileDialog1->setFileMode(QFileDialog::ExistingFiles);
    folderBrowserDialog1 = new QFileDialog(this, QStringLiteral("Add a folder to backup"));
    folderBrowserDialog1->setObjectName(QStringLiteral("folderBrowserDialog1"));
    folderBrowserDialog1->setOption(QFileDialog::DontUseNativeDialog);
    folderBrowserDialog1->setFileMode(QFileDialog::Directory);
    folderBrowserDialog1->setOption(QFileDialog::ShowDirsOnly);
    saveFolder = nullptr;
}

void Form1::BuildMenus()
{
    // The menu bar.
    mainMenu1 = new QMenuBar(this);
    mainMenu1->setObjectName(QStringLiteral("mainMenu1"));
    mainMenu1->setNativeMenuBar(false);
    menuFile = mainMenu1->addMenu(QStringLiteral("&File"));
    menuFile->setObjectName(QStringLiteral("menuFile"));
    menuItemLoad = NameAction(menuFile->addAction(QStringLiteral("&Load Backup list...")), "menuItemLoad");
    menuItemLoad->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_L));
    menuItemSave = NameAction(menuFile->addAction(QStringLiteral("&Save Backup list")), "menuItemSave");
    menuItemSave->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
    menuItemVerify = NameAction(menuFile->addAction(QStringLiteral("&Verify Copies")), "menuItemVerify");
    menuItemVerify->setCheckable(true);
    menuItemVerify->setChecked(settings_ && settings_->Flag("verify", false));
    menuItemExclusions = NameAction(menuFile->addAction(QStringLiteral("E&xclusions\u2026")), "menuItemExclusions");
    menuItemSpacer3 = NameAction(menuFile->addSeparator(), "menuItemSpacer3");
    menuItemexitMain = NameAction(menuFile->addAction(QStringLiteral("&Exit")), "menuItemexitMain");
    menuHelp = mainMenu1->addMenu(QStringLiteral("&Help"));
    menuHelp->setObjectName(QStringLiteral("menuHelp"));
    menuItemAbout = NameAction(menuHelp->addAction(QStringLiteral("&About Tandrel")), "menuItemAbout");
    menuItemAbout->setShortcut(QKeySequence(Qt::Key_F1));
    setMenuBar(mainMenu1);

    // The backup list's context menu.
    contextMenuFiles = new QMenu(this);
    contextMenuFiles->setObjectName(QStringLiteral("contextMenuFiles"));
    menuItemSelectAll = NameAction(contextMenuFiles->addAction(QStringLiteral("Select &All")), "menuItemSelectAll");
    menuItemSpacer1 = NameAction(contextMenuFiles->addSeparator(), "menuItemSpacer1");
    menuItemRemove = NameAction(contextMenuFiles->addAction(QStringLiteral("&Remove")), "menuItemRemove");

    // The context menu of the window and of the tray icon.
    contextMenuMain = new QMenu(this);
    contextMenuMain->setObjectName(QStringLiteral("contextMenuMain"));
    menuItemShow = NameAction(contextMenuMain->addAction(QStringLiteral("&Show")), "menuItemShow");
    menuItemHide = NameAction(contextMenuMain->addAction(QStringLiteral("&Hide")), "menuItemHide");
    menuItemSpacer2 = NameAction(contextMenuMain->addSeparator(), "menuItemSpacer2");
    menuItemExit = NameAction(contextMenuMain->addAction(QStringLiteral("Exit")), "menuItemExit");
}

void Form1::BuildTrayIconAndTimer(const QIcon& icon)
{
    // The tray icon and the timer; the tray icon shows from now on.
    notifyIcon1 = new QSystemTrayIcon(components);
    notifyIcon1->setObjectName(QStringLiteral("notifyIcon1"));
    notifyIcon1->setIcon(icon);
    notifyIcon1->setToolTip(QStringLiteral("Tandrel"));
    notifyIcon1->setContextMenu(contextMenuMain);
    timer1->Stop();
    timer1->SetInterval(60000);
}

void Form1::WireEvents()
{
    // Events.
    connect(cboxSetForget, &QCheckBox::toggled, this, &Form1::cboxSetForget_CheckedChanged);
    connect(listboxFilestoBackup, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& pos) { contextMenuFiles->popup(listboxFilestoBackup->viewport()->mapToGlobal(pos)); });
    connect(contextMenuFiles, &QMenu::aboutToShow, this, &Form1::contextMenuFiles_Popup);
    connect(menuItemSelectAll, &QAction::triggered, this, &Form1::menuItemSelectAll_Click);
    connect(menuItemRemove, &QAction::triggered, this, &Form1::menuItemRemove_Click);
    connect(btnDelete, &QPushButton::clicked, this, &Form1::btnDelete_Click);
    connect(btnBrowse, &QPushButton::clicked, this, &Form1::btnBrowse_Click);
    connect(btnAddFolder, &QPushButton::clicked, this, &Form1::btnAddFolder_Click);
    connect(cboxTime, &QComboBox::currentTextChanged, this, &Form1::cboxTime_TextChanged);
    connect(btnDestination, &QPushButton::clicked, this, &Form1::btnDestination_Click);
    connect(btnStart, &QPushButton::clicked, this, &Form1::btnStart_Click);
    connect(notifyIcon1, &QSystemTrayIcon::activated, this, &Form1::notifyIcon1_Activated);
    connect(menuItemShow, &QAction::triggered, this, &Form1::menuItemShow_Click);
    connect(menuItemHide, &QAction::triggered, this, &Form1::menuItemHide_Click);
    connect(menuItemExit, &QAction::triggered, this, &Form1::menuItemExit_Click);
    timer1->Tick = [this] { timer1_Tick(); };
    connect(menuItemLoad, &QAction::triggered, this, &Form1::menuItemLoad_Click);
    connect(menuItemSave, &QAction::triggered, this, &Form1::menuItemSave_Click);
    connect(menuItemVerify, &QAction::toggled, this, &Form1::menuItemVerify_Click);
    connect(menuItemExclusions, &QAction::triggered, this, &Form1::menuItemExclusions_Click);
    connect(menuItemexitMain, &QAction::triggered, this, &Form1::menuItemexitMain_Click);
    connect(menuItemAbout, &QAction::triggered, this, &Form1::menuItemAbout_Click);
    connect(this, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& pos) { contextMenuMain->popup(mapToGlobal(pos)); });
    // Drops and mouse releases reach their handlers through eventFilter.
    listboxFilestoBackup->viewport()->installEventFilter(this);
    listBoxDestinationFolder->viewport()->installEventFilter(this);
    btnDelete->installEventFilter(this);
}

void Form1::PlaceWindow()
{
    // Size and place: the client area at its design size, the menu bar above
    // it, the whole centred on the screen.
    resize(kClientWidth, kClientHeight + mainMenu1->sizeHint().height());
    ApplyMinimumSize();
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect available = screen->availableGeometry();
        move(available.center() - QPoint(width() / 2, height() / 2));
    }
}

void Form1::ApplyMinimumSize()
{
    // The outer frame may not shrink below 700 x 488. Frames differ between
    // window systems, so that is measured on the frame as it is; but the
    // window always fits its design size (client area 692 x 454 below the
    // menu bar), however thin the frame.
    QSize frame = frameGeometry().size() - geometry().size();
    if (frame.width() <= 0 && frame.height() <= 0) frame = kAssumedFrame;
    const QSize design(kClientWidth, kClientHeight + mainMenu1->sizeHint().height());
    const QSize minimum(std::min(kMinimumOuterWidth - frame.width(), design.width()),
                        std::min(kMinimumOuterHeight - frame.height(), design.height()));
    if (minimumSize() != minimum) setMinimumSize(minimum);
}

bool Form1::SystemTrayAvailable() const
{
    return systemTrayAvailable_ ? systemTrayAvailable_() : QSystemTrayIcon::isSystemTrayAvailable();
}

void Form1::Form1_Load()
{
    progressBar1->hide();
}

void Form1::showEvent(QShowEvent* event)
{
    if (!loaded_) {
        loaded_ = true;
        Form1_Load();
        // The window manager tells the frame's size only once the window is up.
        QTimer::singleShot(250, this, [this] { ApplyMinimumSize(); });
    }
    QMainWindow::showEvent(event);
}

void Form1::closeEvent(QCloseEvent* event)
{
    // No question, not even while a job runs. The tray icon leaves at once
    // and the timer ticks no more.
    closed_ = true;
    timer1->Stop();
    if (notifyIcon1) notifyIcon1->hide();
    event->accept();
}

void Form1::resizeEvent(QResizeEvent* event)
{
    // The anchors follow the client area's own resize.
    QMainWindow::resizeEvent(event);
    ApplyMinimumSize();
}

// The main window's module table: sorting, a large import, the open panel, reverting.

#include "MainWindowSupport.h"

using namespace zarv;
using namespace zarv::test;

namespace {

QVariantMap moduleEntry(const QString& camera, const QString& module, const QVariant& productID) {
    return {{QStringLiteral("devicename"), camera},
            {QStringLiteral("modulename"), module},
            {QStringLiteral("productid"), productID}};
}

class ModuleTable : public Window {
protected:
    void SetUp() override {
        Window::SetUp();
        window->ibTestButton1();
        window->show();
        ASSERT_TRUE(window->selectTab(QStringLiteral("modules")));
        table = child<QTableView>("ibModuleTableView");
    }
    void TearDown() override {
        defaults().removeObject(QStringLiteral("prefNikonLookupArray"));
        defaults().removeObject(QStringLiteral("prefNikonLookupTable"));
        Window::TearDown();
    }
    QString cell(int row, int column) const {
        return table->model()->index(row, column).data().toString();
    }
    QStringList column(int c) const {
        QStringList values;
        for (int row = 0; row < table->model()->rowCount(); ++row)
            values << cell(row, c);
        return values;
    }
    void clickHeader(int section) {
        QHeaderView* header = table->horizontalHeader();
        const QPoint at(header->sectionViewportPosition(section) + header->sectionSize(section) / 2,
                        header->height() / 2);
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, at);
    }
    QFileDialog* openDialog() const { return window->findChild<QFileDialog*>(); }

    QTableView* table = nullptr;
};

} // namespace

// Header clicks sort the rows: names without regard to case, product identifiers as numbers;
// the selected camera stays selected, and a new list keeps the sort.
TEST_F(ModuleTable, SortsByHeaderClicks) {
    defaults().setObject(QStringLiteral("prefNikonLookupArray"),
                         QVariantList{moduleEntry("nikon Z 9", "Type0031 Module.bundle", 10),
                                      moduleEntry("NIKON D4", "Type0009 Module.bundle", 9),
                                      moduleEntry("Nikon Df", "Type0012 Module.bundle", 100),
                                      moduleEntry("Odd", "Odd.bundle", QStringLiteral("n/a"))});
    ASSERT_TRUE(waitUntil([&] { return table->model()->rowCount() == 4; }, 2000));
    EXPECT_EQ(column(0), QStringList({"nikon Z 9", "NIKON D4", "Nikon Df", "Odd"}))
        << "the list's order until a header is clicked";
    EXPECT_EQ(table->model()->headerData(2, Qt::Horizontal).toString(), "Product ID");

    clickHeader(2);
    EXPECT_EQ(column(2), QStringList({"9", "10", "100", "n/a"}));
    table->selectRow(1); // "nikon Z 9"
    clickHeader(2);
    EXPECT_EQ(column(2), QStringList({"n/a", "100", "10", "9"}));
    const QModelIndexList selected = table->selectionModel()->selectedRows();
    ASSERT_EQ(selected.size(), 1);
    EXPECT_EQ(cell(selected.first().row(), 0), "nikon Z 9");

    clickHeader(0);
    EXPECT_EQ(column(0), QStringList({"NIKON D4", "Nikon Df", "nikon Z 9", "Odd"}));
    defaults().setObject(
        QStringLiteral("prefNikonLookupArray"),
        QVariantList{moduleEntry("B", "b.bundle", 2), moduleEntry("a", "a.bundle", 1)});
    ASSERT_TRUE(waitUntil([&] { return table->model()->rowCount() == 2; }, 2000));
    EXPECT_EQ(column(0), QStringList({"a", "B"}));
    EXPECT_TRUE(table->selectionModel()->selectedRows().isEmpty());
}

// The import button opens a window-modal file panel for property lists with the "Import"
// prompt; the chosen table of 10 000 cameras is read, stored and shown. The time it takes is
// printed, not asserted.
TEST_F(ModuleTable, ImportOfTenThousandCamerasShows) {
    Bundle::setMainBundlePath(QStringLiteral(ZARV_APP_DIR));
    QVariantMap user;
    for (int i = 0; i < 10000; ++i) {
        const QString camera = QStringLiteral("Camera %1").arg(i, 5, 10, QChar(u'0'));
        user.insert(camera, moduleEntry(camera, QStringLiteral("Type%1 Module.bundle").arg(i % 40),
                                        0x0400 + i));
    }
    const QString path = config.filePath(QStringLiteral("big.plist"));
    ASSERT_TRUE(
        PropertyList::writeFile(path, QVariantMap{{QStringLiteral("prefNikonLookupTable"), user}}));

    child<QAbstractButton>("moduleImport")->click();
    ASSERT_TRUE(waitUntil([&] { return openDialog() && openDialog()->isVisible(); }, 5000));
    QFileDialog* dialog = openDialog();
    EXPECT_EQ(dialog->windowModality(), Qt::WindowModal);
    EXPECT_EQ(dialog->nameFilters(), QStringList({"*.plist"}));
    EXPECT_EQ(dialog->labelText(QFileDialog::Accept), "Import");
    EXPECT_EQ(dialog->fileMode(), QFileDialog::ExistingFile);
    dialog->selectFile(path);

    QElapsedTimer clock;
    clock.start();
    // The window keeps answering while the file is read: count the event loop's turns.
    int turns = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++turns; });
    ticker.start(10);
    static_cast<QDialog*>(dialog)->accept(); // as the "Import" button does
    ASSERT_TRUE(waitUntil([&] { return table->model()->rowCount() == 10000; }, 60000));
    const qint64 imported = clock.elapsed();
    table->viewport()->repaint();
    const qint64 shown = clock.elapsed();
    clickHeader(2);
    const qint64 sorted = clock.elapsed();
    ticker.stop();
    std::cout << "[ measure  ] import of 10000 cameras: shown after " << imported << " ms, painted "
              << shown << " ms, sorted by product id " << (sorted - shown) << " ms; " << turns
              << " event-loop turns of 10 ms meanwhile" << std::endl;
    EXPECT_EQ(cell(0, 2), QString::number(0x0400));
    EXPECT_EQ(defaults().objectForKey(QStringLiteral("prefNikonLookupTable")).toMap().size(),
              10000);
}

// The panel answers once: "cancelled" when dismissed, also when the window goes with it open.
TEST_F(ModuleTable, OpenPanelAnswersOnce) {
    QList<std::pair<long, QStringList>> answers;
    auto record = [&](long response, const QStringList& paths) {
        answers.append({response, paths});
    };
    OpenPanel panel;
    panel.message = QStringLiteral("Choose");
    panel.prompt = QStringLiteral("Take");
    panel.allowedFileTypes = {QStringLiteral("plist"), QStringLiteral("xml")};
    window->runOpenPanel(panel, record);
    QFileDialog* dialog = openDialog();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->nameFilters(), QStringList({"*.plist *.xml"}));
    EXPECT_EQ(dialog->windowTitle(), "Choose");
    dialog->reject();
    ASSERT_TRUE(waitUntil([&] { return openDialog() == nullptr; }, 2000));
    ASSERT_EQ(answers.size(), 1);
    EXPECT_EQ(answers.first(), std::make_pair(kModalResponseCancel, QStringList()));

    window->runOpenPanel(panel, record);
    delegate->setView(nullptr);
    window.reset();
    ASSERT_EQ(answers.size(), 2);
    EXPECT_EQ(answers.last().first, kModalResponseCancel);
    makeWindow();
}

// Revert, in the table's context menu, asks first; "NO" keeps the user's table.
TEST_F(ModuleTable, RevertButtonAsks) {
    const QVariantMap user{{"Mine", moduleEntry("Mine", "Mine.bundle", 1)}};
    defaults().setObject(QStringLiteral("prefNikonLookupTable"), user);
    QAction* revert = table->findChild<QAction*>(QStringLiteral("moduleRevert"));
    ASSERT_NE(revert, nullptr);
    EXPECT_TRUE(table->actions().contains(revert));
    EXPECT_EQ(table->contextMenuPolicy(), Qt::ActionsContextMenu);
    revert->trigger();
    QDialog* sheet = nullptr;
    ASSERT_TRUE(waitUntil(
        [&] {
            for (QDialog* d : window->findChildren<QDialog*>())
                if (d->isVisible() && !qobject_cast<QFileDialog*>(d))
                    for (QLabel* label : d->findChildren<QLabel*>())
                        if (label->text().contains("Revert Back to Factory Module List??"))
                            sheet = d;
            return sheet != nullptr;
        },
        5000));
    sheet->reject(); // Escape: the cancelling "NO"
    ASSERT_TRUE(waitUntil([&] { return logged("returncode = 1000"); }, 5000));
    EXPECT_EQ(defaults().objectForKey(QStringLiteral("prefNikonLookupTable")), QVariant(user));
}

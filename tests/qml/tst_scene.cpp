// The launcher window as the player meets it: loaded like the real start-up
// (only "self" before the load, every other name after it) against a
// stand-in controller, and driven through pointer events on the window.

#include "scenetest.h"

#include "app/mainwindow.h"
#include "buildconfig.h"

#include <QQmlApplicationEngine>
#include <QQmlComponent>
#include <QQmlContext>
#include <QQmlFileSelector>
#include <QQuickItemGrabResult>
#include <QQuickWindow>
#include <QtTest>

#include <memory>

namespace {

const QPoint background(700, 250);   // nothing but the window itself here
const QPoint playButtonCentre(141, 334);
const QPoint serverBar(141, 389);

QString site(const char *path)
{
    return QString::fromLatin1(BuildConfig::siteUrl) + QLatin1String(path);
}

} // namespace

class tst_Scene : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void standInHasTheControllersInterface();
    void loadsAsAFramelessWindowWithNothingUnpublished();
    void screenMap();
    void publishedNamesAppearWithoutReload();
    void textsGetTheirFaces_data();
    void textsGetTheirFaces();

    void headerLinksOpenTheirPages();
    void headerLinkHighlightsUnderThePointer();

    void newsTitlesOpenTheirPages();
    void emptyAndUnpublishedNewsShowAndOpenNothing();
    void longNewsTitleWrapsInsideItsColumn();

    void playButton_data();
    void playButton();

    void serverMenuOpensAndClosesByTheBar();
    void serverEntriesCloseTheListThenAskForTheirIndex();
    void serverListBackgroundLetsPressesThrough();

    void statusBar_data();
    void statusBar();

    void onlineTilesShowTheirCountsAndColoursRightAligned();

    void exitButton();

    void dragOnTheBackgroundMovesTheWindow();
    void pressOnAControlDoesNotDrag_data();
    void pressOnAControlDoesNotDrag();

    void taskbarOverlayIsTheWindowsVariantOnlyThere();
    void picturesHaveTheirSizes_data();
    void picturesHaveTheirSizes();

private:
    void publish(const QByteArray &name, const QVariant &value);
    void publishNews(int index, const QString &title, const QString &text, const QString &url);
    void hover(QPoint pos) { QTest::mouseMove(m_window, pos); }
    void click(QPoint pos) { QTest::mouseClick(m_window, Qt::LeftButton, Qt::NoModifier, pos); }
    Qt::CursorShape cursor() const { return m_window->cursor().shape(); }
    QQuickItem *root() const { return m_window->contentItem(); }
    QQuickItem *text(const QString &text) const { return Scene::text(root(), text); }
    bool listOpen() const;
    QQuickItem *entry(const QString &name) const;

    std::unique_ptr<MessageCollector> m_messages;
    std::unique_ptr<StandInController> m_controller;
    std::unique_ptr<QQmlApplicationEngine> m_engine;
    QQuickWindow *m_window = nullptr;
};

void tst_Scene::initTestCase()
{
    // After the test library's own handler, which it passes messages on to.
    m_messages = std::make_unique<MessageCollector>();
}

void tst_Scene::init()
{
    m_controller = std::make_unique<StandInController>();
    m_engine = std::make_unique<QQmlApplicationEngine>();
    m_engine->rootContext()->setContextProperty(QStringLiteral("self"), m_controller.get());
    m_engine->load(QUrl(QStringLiteral("qrc:/main.qml")));
    QCOMPARE(m_engine->rootObjects().size(), 1);
    m_window = qobject_cast<QQuickWindow *>(m_engine->rootObjects().first());
    QVERIFY(m_window);
    QVERIFY(QTest::qWaitForWindowExposed(m_window));
}

void tst_Scene::cleanup()
{
    m_engine.reset();
    m_window = nullptr;
    m_controller.reset();
    const QStringList messages = m_messages->take();
    QVERIFY2(messages.isEmpty(), qPrintable(messages.join(QLatin1Char('\n'))));
}

void tst_Scene::publish(const QByteArray &name, const QVariant &value)
{
    m_engine->rootContext()->setContextProperty(QString::fromLatin1(name), value);
}

void tst_Scene::publishNews(int index, const QString &title, const QString &text,
                            const QString &url)
{
    const QByteArray n = QByteArray::number(index);
    publish("newsTitle" + n, title);
    publish("newsText" + n, text);
    publish("newsUrl" + n, url);
}

bool tst_Scene::listOpen() const
{
    return Scene::byId(m_window, "selectServerMenuElement")->property("startServerSelect").toBool();
}

QQuickItem *tst_Scene::entry(const QString &name) const
{
    // The list's entry, not the online tile's label of the same name.
    const auto found = Scene::items(root(), [&](QQuickItem *item) {
        return item->inherits("QQuickText") && item->isVisible()
                && item->property("text").toString() == name && Scene::sceneRect(item).left() < 282;
    });
    return found.size() == 1 ? found.first() : nullptr;
}

void tst_Scene::standInHasTheControllersInterface()
{
    // What the scene can reach: invokables and properties, with their flags.
    auto reachable = [](const QMetaObject &meta) {
        QStringList members;
        for (int i = QObject::staticMetaObject.methodCount(); i < meta.methodCount(); ++i) {
            const QMetaMethod method = meta.method(i);
            if (method.methodType() == QMetaMethod::Method)
                members << QString::fromLatin1(method.methodSignature());
        }
        for (int i = QObject::staticMetaObject.propertyCount(); i < meta.propertyCount(); ++i) {
            const QMetaProperty property = meta.property(i);
            members << QStringLiteral("%1 %2 constant=%3 notify=%4")
                               .arg(QString::fromLatin1(property.typeName()),
                                    QString::fromLatin1(property.name()))
                               .arg(property.isConstant())
                               .arg(property.hasNotifySignal());
        }
        members.sort();
        return members;
    };
    QCOMPARE(reachable(StandInController::staticMetaObject), reachable(MainWindow::staticMetaObject));
}

void tst_Scene::loadsAsAFramelessWindowWithNothingUnpublished()
{
    QCOMPARE(m_window->size(), QSize(1295, 728));
    QVERIFY(m_window->flags() & Qt::FramelessWindowHint);
    QCOMPARE(m_window->title(), QStringLiteral("Zanrok Launcher"));

    // Only the fixed texts show; every published name is still missing.
    const auto shown = Scene::items(root(), [](QQuickItem *item) {
        return item->inherits("QQuickText") && item->isVisible()
                && !item->property("text").toString().isEmpty();
    });
    QStringList texts;
    for (QQuickItem *item : shown)
        texts << item->property("text").toString();
    texts.sort();
    QStringList fixed = { QStringLiteral("ГЛАВНАЯ"), QStringLiteral("ПОПОЛНИТЬ СЧЁТ"),
                          QStringLiteral("МАГАЗИН"), QStringLiteral("ФОРУМ"),
                          QStringLiteral("DISCORD"), QStringLiteral("ГРУППА VK"),
                          QStringLiteral("Zanrok"), QStringLiteral("Launcher"),
                          QStringLiteral("НАЧАТЬ ИГРАТЬ"), QStringLiteral("Сервер"),
                          QStringLiteral("общий онлайн"), QStringLiteral("Ironwood"),
                          QStringLiteral("Ashford"), QStringLiteral("JadePoint"),
                          QStringLiteral("BlueRidge"), QStringLiteral("CedarFalls"),
                          QStringLiteral("DarkWater"), QStringLiteral("EastGate"),
                          QStringLiteral("Fairhaven"), QStringLiteral("Greystone"),
                          QStringLiteral("HighTower") };
    fixed.sort();
    QCOMPARE(texts, fixed);
}

void tst_Scene::screenMap()
{
    auto rectOf = [this](const char *id) { return Scene::sceneRect(Scene::itemById(m_window, id)); };

    QCOMPARE(rectOf("exitButton"), QRectF(1265, 0, 30, 30));
    QCOMPARE(rectOf("imageLogo"), QRectF(20, 14, 111, 36));
    QCOMPARE(rectOf("statusBar"), QRectF(0, 703, 1295, 25));

    // The header links stand on y = 50 from x = 181, 20 apart.
    qreal left = 181;
    for (const char *link : { "ГЛАВНАЯ", "ПОПОЛНИТЬ СЧЁТ", "МАГАЗИН", "ФОРУМ", "DISCORD", "ГРУППА VK" }) {
        const QRectF r = Scene::sceneRect(text(QString::fromUtf8(link)));
        QCOMPARE(r.left(), left);
        QCOMPARE(r.bottom(), 50.0);
        left = r.right() + 20;
    }

    const QRectF brand = Scene::sceneRect(text(QStringLiteral("Zanrok")));
    QCOMPARE(brand.topLeft(), QPointF(20, 130));
    QCOMPARE(Scene::sceneRect(text(QStringLiteral("Launcher"))).top(), brand.bottom());

    const QRectF play = Scene::sceneRect(Scene::itemById(m_window, "buttonPlayMouseArea"));
    QCOMPARE(play, QRectF(0, 300, 282, 68));
    const QRectF bar = Scene::sceneRect(text(QStringLiteral("Сервер"))->parentItem()->parentItem());
    QCOMPARE(bar, QRectF(0, 368, 282, 43));
    const QRectF list = Scene::sceneRect(text(QStringLiteral("Выберите сервер"))
                                                 ->parentItem()->parentItem()->parentItem());
    QCOMPARE(list, QRectF(0, 368, 282, 325));
    // All ten entries lie inside the open list, the first one reaching into
    // the bar's place (a second click there chooses it).
    Scene::byId(m_window, "selectServerMenuElement")->setProperty("startServerSelect", true);
    QTRY_VERIFY(Scene::sceneRect(entry(QStringLiteral("JadePoint"))).bottom() <= list.bottom() - 10);
    QVERIFY(Scene::sceneRect(entry(QStringLiteral("Ashford"))).top() < bar.bottom());

    // The news panel: the band along the bottom, its three columns inside.
    publishNews(0, QStringLiteral("Первая"), QString(), QString());
    const QRectF column0 = Scene::sceneRect(text(QStringLiteral("Первая"))->parentItem());
    const QRectF panel = Scene::sceneRect(
            text(QStringLiteral("Первая"))->parentItem()->parentItem()->parentItem()->parentItem());
    QCOMPARE(panel, QRectF(0, 528, 1295, 200));
    QCOMPARE(column0.topLeft(), QPointF(20, 548));
    QCOMPARE(column0.width(), (1295 - 40) * 0.33);

    const QRectF online = Scene::sceneRect(Scene::itemById(m_window, "onlineBlock"));
    QCOMPARE(online, QRectF(1295 - 340, 60, 340, 465));
}

void tst_Scene::publishedNamesAppearWithoutReload()
{
    publish("currentServerName", QStringLiteral("Ashford"));
    publishNews(0, QStringLiteral("Обновление"), QStringLiteral("Новые машины"),
                QStringLiteral("https://site/news/a"));
    publish("online", 0);
    publish("online4", 57);

    QCOMPARE(Scene::text(root(), QStringLiteral("Сервер"))->parentItem()
                     ->childItems().at(1)->property("text").toString(),
             QStringLiteral("Ashford"));
    QVERIFY(text(QStringLiteral("Обновление")));
    QVERIFY(text(QStringLiteral("Новые машины")));
    // A count of 0 is a count, not an empty text.
    QCOMPARE(text(QStringLiteral("общий онлайн"))->parentItem()->childItems().at(0)
                     ->property("text").toString(),
             QStringLiteral("0"));
    QCOMPARE(Scene::text(Scene::itemById(m_window, "onlineBlock"), QStringLiteral("DarkWater"))
                     ->parentItem()->childItems().at(0)->property("text").toString(),
             QStringLiteral("57"));

    // A later publication (a server choice) replaces the shown value.
    publish("currentServerName", QStringLiteral("JadePoint"));
    QCOMPARE(Scene::text(root(), QStringLiteral("Сервер"))->parentItem()
                     ->childItems().at(1)->property("text").toString(),
             QStringLiteral("JadePoint"));
}

void tst_Scene::textsGetTheirFaces_data()
{
    // How the font database names the faces of the four Manrope files: one
    // family, the weight picking the face (fontconfig), or, as Windows' may,
    // the light and medium files as families of their own.
    QTest::addColumn<bool>("familyPerFace");
    QTest::newRow("one family") << false;
    QTest::newRow("light and medium families") << true;
}

void tst_Scene::textsGetTheirFaces()
{
    QFETCH(bool, familyPerFace);

    for (const char *id : { "geometria", "geometria_light", "geometria_medium", "geometria_bold",
                            "exo20_medium" }) {
        const QObject *loader = Scene::byId(m_window, id);
        QVERIFY2(loader, id);
        QVERIFY2(loader->property("status").toInt() == 1 /* FontLoader.Ready */, id);
    }
    if (familyPerFace) {
        // Every loader, the header links' own too, reports what that
        // database would.
        const auto objects = m_window->findChildren<QObject *>();
        for (QObject *loader : objects) {
            if (!loader->inherits("QQuickFontLoader"))
                continue;
            const QString file = loader->property("source").toUrl().fileName();
            if (file == QLatin1String("Manrope-Light.ttf"))
                loader->setProperty("name", QStringLiteral("Manrope Light"));
            else if (file == QLatin1String("Manrope-Medium.ttf"))
                loader->setProperty("name", QStringLiteral("Manrope Medium"));
        }
    }

    publish("currentServerName", QStringLiteral("Текущий"));
    publishNews(0, QStringLiteral("Заголовок"), QStringLiteral("Тело новости"), QString());
    publish("online", 1234);
    publish("online9", 109);
    m_controller->gameLoaderStatus()->setInfo(QStringLiteral("Статус"));

    const QList<QPair<const char *, QString>> faces = {
        { "Zanrok", QStringLiteral("Medium") },
        { "Launcher", QStringLiteral("Light") },
        { "ГЛАВНАЯ", QStringLiteral("Medium") },
        { "USER NAME", QStringLiteral("Medium") },
        { "Заголовок", QStringLiteral("Bold") },
        { "Тело новости", QStringLiteral("Regular") },
        { "НАЧАТЬ ИГРАТЬ", QStringLiteral("Medium") },
        { "Сервер", QStringLiteral("Regular") },
        { "Текущий", QStringLiteral("Medium") },
        { "Выберите сервер", QStringLiteral("Regular") },
        { "Ironwood ( Lowmarsh )", QStringLiteral("Medium") },
        { "1234", QStringLiteral("Medium") },
        { "общий онлайн", QStringLiteral("Regular") },
        { "109", QStringLiteral("Medium") },
        { "Ironwood", QStringLiteral("Regular") },
        { "Статус", QStringLiteral("Regular") },
    };
    for (const auto &face : faces) {
        const QQuickItem *item = text(QString::fromUtf8(face.first));
        QVERIFY2(item, face.first);
        const QFontInfo info(item->property("font").value<QFont>());
        const QString family = familyPerFace && (face.second == QLatin1String("Light")
                                                 || face.second == QLatin1String("Medium"))
                ? QStringLiteral("Manrope ") + face.second
                : QStringLiteral("Manrope");
        QCOMPARE(info.family(), family);
        QCOMPARE(info.styleName(), face.second);
    }
}

void tst_Scene::headerLinksOpenTheirPages()
{
    const QString forum = QString::fromLatin1(BuildConfig::forumUrl) + QLatin1Char('/');
    const QString vk = QString::fromLatin1(BuildConfig::vkUrl) + QStringLiteral("/Zanrok");
    const QList<QPair<QString, QString>> links = {
        { QStringLiteral("ГЛАВНАЯ"), site("/") },
        { QStringLiteral("ПОПОЛНИТЬ СЧЁТ"), site("/donate") },
        { QStringLiteral("МАГАЗИН"), site("/donate") },
        { QStringLiteral("ФОРУМ"), forum },
        { QStringLiteral("DISCORD"), site("/discord") },
        { QStringLiteral("ГРУППА VK"), vk },
    };
    for (const auto &link : links) {
        click(Scene::centre(text(link.first)));
        QCOMPARE(m_controller->takeCalls(), QStringList { QStringLiteral("open ") + link.second });
        QVERIFY2(link.second.startsWith(QLatin1String("https://")), qPrintable(link.second));
    }
}

void tst_Scene::headerLinkHighlightsUnderThePointer()
{
    QQuickItem *link = text(QStringLiteral("ФОРУМ"));
    QCOMPARE(link->property("color").value<QColor>(), QColor(QStringLiteral("#80FFFFFF")));

    hover(Scene::centre(link));
    QCOMPARE(link->property("color").value<QColor>(), QColor(QStringLiteral("#FFFFFF")));
    QCOMPARE(cursor(), Qt::PointingHandCursor);

    // The gap between two links is not part of either.
    hover(Scene::sceneRect(link).topRight().toPoint() + QPoint(10, 5));
    QCOMPARE(link->property("color").value<QColor>(), QColor(QStringLiteral("#80FFFFFF")));
    QCOMPARE(cursor(), Qt::ArrowCursor);
    click(Scene::sceneRect(link).topRight().toPoint() + QPoint(10, 5));
    QCOMPARE(m_controller->takeCalls(), QStringList());
}

void tst_Scene::newsTitlesOpenTheirPages()
{
    publishNews(0, QStringLiteral("Первая"), QStringLiteral("Текст один"), QStringLiteral("https://site/news/one"));
    publishNews(1, QStringLiteral("Вторая"), QStringLiteral("Текст два"), QStringLiteral("https://site/news/two"));
    publishNews(2, QStringLiteral("Третья"), QStringLiteral("Текст три"), QStringLiteral("https://site/news/3"));
    publishNews(3, QStringLiteral("Четвёртая"), QStringLiteral("Не видна"), QStringLiteral("https://site/news/4"));

    QCOMPARE(Scene::sceneRect(text(QStringLiteral("Первая"))).topLeft(), QPointF(20, 548));
    QCOMPARE(text(QStringLiteral("Первая"))->property("color").value<QColor>(), QColor(QStringLiteral("#fbc329")));
    QCOMPARE(text(QStringLiteral("Вторая"))->property("color").value<QColor>(), QColor(QStringLiteral("#fff")));
    QVERIFY(!text(QStringLiteral("Четвёртая")));

    // Titles open their pages; bodies are not links.
    click(Scene::centre(text(QStringLiteral("Вторая"))));
    click(Scene::centre(text(QStringLiteral("Третья"))));
    click(Scene::centre(text(QStringLiteral("Текст один"))));
    click(Scene::sceneRect(text(QStringLiteral("Первая"))).topLeft().toPoint() + QPoint(3, 5));
    QCOMPARE(m_controller->takeCalls(),
             (QStringList { QStringLiteral("open https://site/news/two"),
                            QStringLiteral("open https://site/news/3"),
                            QStringLiteral("open https://site/news/one") }));

    hover(Scene::centre(text(QStringLiteral("Третья"))));
    QCOMPARE(cursor(), Qt::PointingHandCursor);
    hover(Scene::centre(text(QStringLiteral("Текст три"))));
    QCOMPARE(cursor(), Qt::ArrowCursor);
}

void tst_Scene::emptyAndUnpublishedNewsShowAndOpenNothing()
{
    // Item 1 is published with empty texts, item 2 is never published.
    publishNews(0, QStringLiteral("Первая"), QStringLiteral("Текст"), QStringLiteral("https://site/news/one"));
    publishNews(1, QString(), QString(), QStringLiteral("https://site/news/"));

    const QRectF column0 = Scene::sceneRect(text(QStringLiteral("Первая"))->parentItem());
    const qreal step = column0.width() + (1295 - 40) * 0.005;
    const QPoint title1 = column0.topLeft().toPoint() + QPoint(int(step) + 30, 5);
    const QPoint title2 = title1 + QPoint(int(step), 0);
    for (const QPoint &pos : { title1, title2 }) {
        hover(pos);
        QCOMPARE(cursor(), Qt::ArrowCursor);
        click(pos);
    }
    QCOMPARE(m_controller->takeCalls(), QStringList());

    const auto newsTexts = Scene::items(root(), [&](QQuickItem *item) {
        return item->inherits("QQuickText") && column0.top() <= Scene::sceneRect(item).top()
                && Scene::sceneRect(item).left() > column0.right()
                && !item->property("text").toString().isEmpty();
    });
    QCOMPARE(newsTexts.size(), 0);
}

void tst_Scene::longNewsTitleWrapsInsideItsColumn()
{
    const QString title = QStringLiteral("Большое летнее обновление: новые дома, машины, работы "
                                         "и целый район на берегу залива");
    publishNews(0, title, QStringLiteral("Тело"), QStringLiteral("https://site/news/long"));
    publishNews(1, QStringLiteral("Соседняя"), QStringLiteral("Текст"), QStringLiteral("https://site/news/next"));

    const QRectF titleRect = Scene::sceneRect(text(title));
    const QRectF neighbour = Scene::sceneRect(text(QStringLiteral("Соседняя")));
    QVERIFY(text(title)->property("lineCount").toInt() >= 2);
    QVERIFY(text(title)->property("contentWidth").toReal() <= titleRect.width());
    QVERIFY(titleRect.right() < neighbour.left());
    // The column lays its texts out again before the next frame.
    QTRY_COMPARE(Scene::sceneRect(text(QStringLiteral("Тело"))).top(), titleRect.bottom());
}

void tst_Scene::playButton_data()
{
    QTest::addColumn<bool>("loading");
    QTest::addColumn<bool>("over");
    QTest::addColumn<qreal>("opacity");
    QTest::addColumn<int>("cursor");
    QTest::addColumn<QStringList>("calls");

    QTest::newRow("idle, outside") << false << false << 0.85 << int(Qt::ArrowCursor) << QStringList();
    QTest::newRow("idle, over") << false << true << 1.0 << int(Qt::PointingHandCursor)
                                << QStringList { QStringLiteral("play") };
    QTest::newRow("loading, outside") << true << false << 0.85 << int(Qt::ArrowCursor) << QStringList();
    QTest::newRow("loading, over") << true << true << 0.85 << int(Qt::WaitCursor) << QStringList();
}

void tst_Scene::playButton()
{
    QFETCH(bool, loading);
    QFETCH(bool, over);
    QFETCH(qreal, opacity);
    QFETCH(int, cursor);
    QFETCH(QStringList, calls);

    QQuickItem *button = Scene::itemById(m_window, "buttonPlayMouseArea")->parentItem();
    hover(playButtonCentre);
    m_controller->gameLoaderStatus()->setGameLoadStarted(loading);
    // The state may change under a resting pointer: the button follows it.
    hover(over ? playButtonCentre : background);

    QCOMPARE(button->opacity(), opacity);
    QCOMPARE(int(this->cursor()), cursor);
    if (over) {
        click(playButtonCentre);
        QCOMPARE(m_controller->takeCalls(), calls);
    }
}

void tst_Scene::serverMenuOpensAndClosesByTheBar()
{
    QVERIFY(!listOpen());
    hover(serverBar);
    QCOMPARE(cursor(), Qt::PointingHandCursor);
    click(serverBar);
    QVERIFY(listOpen());
    QVERIFY(!text(QStringLiteral("Сервер"))->parentItem()->parentItem()->isVisible());

    // Title row and chevron belong to no control: the list stays open.
    const QPoint title = Scene::centre(text(QStringLiteral("Выберите сервер")));
    const QQuickItem *chevron = text(QStringLiteral("Выберите сервер"))->parentItem()->childItems().at(1);
    click(title);
    click(Scene::centre(chevron));
    click(serverBar); // right after opening, the same spot is the title row
    QVERIFY(listOpen());
    QCOMPARE(m_controller->takeCalls(), QStringList());

    // Nothing but an entry closes the list, not even a load starting.
    click(background);
    m_controller->gameLoaderStatus()->setGameLoadStarted(true);
    QVERIFY(listOpen());
    m_controller->gameLoaderStatus()->setGameLoadStarted(false);

    // Closed again, the bar toggles it also during a load, with a busy pointer.
    click(Scene::centre(entry(QStringLiteral("Ashford"))));
    QVERIFY(!listOpen());
    m_controller->takeCalls();
    m_controller->gameLoaderStatus()->setGameLoadStarted(true);
    hover(serverBar);
    QCOMPARE(cursor(), Qt::WaitCursor);
    click(serverBar);
    QVERIFY(listOpen());
}

void tst_Scene::serverEntriesCloseTheListThenAskForTheirIndex()
{
    const QStringList entries = { QStringLiteral("Ashford"), QStringLiteral("BlueRidge"),
                                  QStringLiteral("CedarFalls"), QStringLiteral("DarkWater"),
                                  QStringLiteral("EastGate"), QStringLiteral("Fairhaven"),
                                  QStringLiteral("Greystone"), QStringLiteral("HighTower"),
                                  QStringLiteral("Ironwood ( Lowmarsh )"), QStringLiteral("JadePoint") };
    bool openDuringCall = true;
    m_controller->onCall = [&] { openDuringCall = listOpen(); };

    for (int index = 0; index < entries.size(); ++index) {
        click(serverBar);
        QVERIFY(listOpen());
        QQuickItem *item = entry(entries[index]);
        QVERIFY(item);
        hover(Scene::centre(item));
        QCOMPARE(cursor(), Qt::PointingHandCursor);
        click(Scene::centre(item));
        QCOMPARE(m_controller->takeCalls(), QStringList { QStringLiteral("server %1").arg(index) });
        QVERIFY(!openDuringCall);
        QVERIFY(!listOpen());
    }

    // A load running does not stop the scene from asking (the controller refuses).
    m_controller->gameLoaderStatus()->setGameLoadStarted(true);
    click(serverBar);
    click(Scene::centre(entry(QStringLiteral("DarkWater"))));
    QCOMPARE(m_controller->takeCalls(), QStringList { QStringLiteral("server 3") });
    QVERIFY(!listOpen());
}

void tst_Scene::serverListBackgroundLetsPressesThrough()
{
    publishNews(0, QStringLiteral("Первая новость"), QStringLiteral("Текст"),
                QStringLiteral("https://site/news/first"));
    click(serverBar);
    QVERIFY(listOpen());

    // Right of the entries, over the first news title, which begins at (20, 548).
    const QRectF title = Scene::sceneRect(text(QStringLiteral("Первая новость")));
    QCOMPARE(title.topLeft(), QPointF(20, 548));
    const QPoint through(250, 548 + 5);
    QVERIFY(title.contains(through));
    hover(through);
    QCOMPARE(cursor(), Qt::PointingHandCursor);
    click(through);
    QCOMPARE(m_controller->takeCalls(), QStringList { QStringLiteral("open https://site/news/first") });
    QVERIFY(listOpen());
}

void tst_Scene::statusBar_data()
{
    QTest::addColumn<bool>("loading");
    QTest::addColumn<QString>("info");
    QTest::addColumn<int>("percent");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<bool>("fillVisible");
    QTest::addColumn<qreal>("fillWidth");

    const QString files = QStringLiteral("Проверка файлов");
    QTest::newRow("never started") << false << QString() << 0 << QString() << false << 0.0;
    QTest::newRow("loading at 42") << true << files << 42 << files + QStringLiteral(" ( 42% )")
                                   << true << 1295 / 100.0 * 42;
    QTest::newRow("loading at 0") << true << files << 0 << files + QStringLiteral(" ( 0% )") << true << 0.0;
    QTest::newRow("loading at 100") << true << files << 100 << files + QStringLiteral(" ( 100% )")
                                    << true << 1295.0;
    QTest::newRow("loading below 0") << true << files << -5 << files + QStringLiteral(" ( -5% )")
                                     << true << 0.0;
    QTest::newRow("finished") << false << QStringLiteral("Игра готова к запуску") << 42
                              << QStringLiteral("Игра готова к запуску") << false << 1295 / 100.0 * 42;
}

void tst_Scene::statusBar()
{
    QFETCH(bool, loading);
    QFETCH(QString, info);
    QFETCH(int, percent);
    QFETCH(QString, shown);
    QFETCH(bool, fillVisible);
    QFETCH(qreal, fillWidth);

    GameLoaderStatus *status = m_controller->gameLoaderStatus();
    // Start from a running load so that every row changes something.
    status->setGameLoadStarted(true);
    status->setInfo(QStringLiteral("Запускаем..."));
    status->setLoadPercent(7);

    status->setGameLoadStarted(loading);
    status->setInfo(info);
    status->setLoadPercent(percent);

    const QList<QQuickItem *> parts = Scene::itemById(m_window, "statusBar")->childItems();
    QCOMPARE(parts.size(), 3);
    QQuickItem *fill = parts.at(1);
    QQuickItem *label = parts.at(2);
    QCOMPARE(label->property("text").toString(), shown);
    QCOMPARE(fill->isVisible(), fillVisible);
    QCOMPARE(fill->width(), fillWidth);
    QCOMPARE(Scene::sceneRect(fill).left(), 0.0);
    QVERIFY(qAbs(Scene::sceneRect(label).center().x() - 1295 / 2.0) <= 0.5);
}

void tst_Scene::onlineTilesShowTheirCountsAndColoursRightAligned()
{
    publish("online", 1234);
    for (int n = 1; n <= 10; ++n)
        publish("online" + QByteArray::number(n), 100 + n);

    // label, count, how far in from the right edge its row reaches, tile
    // top, colour (alpha first)
    struct Tile { const char *label; int count; int rowReach; int top; QRgb colour; };
    const Tile tiles[] = {
        { "общий онлайн", 1234, 187, 60, 0xBF0b60e0 },
        { "Ironwood", 109, 340, 125, 0xBF053f95 },  { "Ashford", 101, 340, 125, 0xBF0950bc },
        { "JadePoint", 110, 340, 175, 0xBF053f80 }, { "BlueRidge", 102, 340, 175, 0xBF053f95 },
        { "CedarFalls", 103, 170, 225, 0xBF053f80 }, { "DarkWater", 104, 170, 275, 0xBF053f75 },
        { "EastGate", 105, 170, 325, 0xBF053d70 },  { "Fairhaven", 106, 170, 375, 0xBF053d65 },
        { "Greystone", 107, 170, 425, 0xBF053d61 }, { "HighTower", 108, 170, 475, 0xBF053d61 },
    };

    const auto onlineBlock = Scene::itemById(m_window, "onlineBlock");
    // One frame of the block alone, on a clear ground: each tile's pixel is
    // its own colour, whatever the background picture holds.
    const QSharedPointer<QQuickItemGrabResult> grab = onlineBlock->grabToImage();
    QVERIFY(grab);
    QSignalSpy ready(grab.data(), &QQuickItemGrabResult::ready);
    QVERIFY(ready.wait());
    const QImage frame = grab->image();
    QCOMPARE(frame.size(), QSize(340, 465));

    for (const Tile &t : tiles) {
        const QString label = QString::fromUtf8(t.label);
        const auto found = Scene::items(onlineBlock, [&](QQuickItem *item) {
            return item->inherits("QQuickText") && item->property("text").toString() == label;
        });
        QCOMPARE(found.size(), 1);
        QQuickItem *tile = found.first()->parentItem()->parentItem();
        const QString value = found.first()->parentItem()->childItems().at(0)->property("text").toString();
        QCOMPARE(value, QString::number(t.count));

        const QRectF rect = Scene::sceneRect(tile);
        QCOMPARE(rect.top(), qreal(t.top));
        // Texts sit in the tile's lower left corner.
        QCOMPARE(Scene::sceneRect(found.first()).left(), rect.left() + 20);
        QCOMPARE(Scene::sceneRect(found.first()).bottom(), rect.bottom() - 5);
        // The row is right-aligned to the window.
        const QRectF row = Scene::sceneRect(tile->parentItem() == onlineBlock ? tile : tile->parentItem());
        QCOMPARE(row.right(), 1295.0);
        QCOMPARE(row.left(), qreal(1295 - t.rowReach));

        // Its top right corner, where no text is drawn.
        const QPoint corner = (rect.topRight() - Scene::sceneRect(onlineBlock).topLeft()).toPoint();
        const QColor shown = frame.pixelColor(corner + QPoint(-3, 3));
        const QColor wanted = QColor::fromRgba(t.colour);
        // Drawn premultiplied, read back unpremultiplied: one step of rounding.
        const bool near = qAbs(shown.alpha() - wanted.alpha()) <= 1
                && qAbs(shown.red() - wanted.red()) <= 1 && qAbs(shown.green() - wanted.green()) <= 1
                && qAbs(shown.blue() - wanted.blue()) <= 1;
        QVERIFY2(near, qPrintable(QStringLiteral("%1 is %2, not %3")
                                          .arg(label, shown.name(QColor::HexArgb),
                                               wanted.name(QColor::HexArgb))));
    }
}

void tst_Scene::exitButton()
{
    QQuickItem *exit = Scene::itemById(m_window, "exitButton");
    QCOMPARE(exit->opacity(), 0.75);
    hover(Scene::centre(exit));
    QCOMPARE(exit->opacity(), 1.0);
    QCOMPARE(cursor(), Qt::ArrowCursor);
    hover(background);
    QCOMPARE(exit->opacity(), 0.75);

    click(QPoint(1294, 29));
    QCOMPARE(m_controller->takeCalls(), QStringList { QStringLiteral("exit") });
}

void tst_Scene::dragOnTheBackgroundMovesTheWindow()
{
    const QPoint start = m_window->position();
    // The pointer moves by (+40, -10) in the world; the window follows it,
    // so afterwards the pointer is again at (100, 100) within the window.
    QTest::mousePress(m_window, Qt::LeftButton, Qt::NoModifier, QPoint(100, 100));
    QTest::mouseMove(m_window, QPoint(140, 90));
    QTRY_COMPARE(m_window->position(), start + QPoint(40, -10));
    QTest::mouseMove(m_window, QPoint(100, 100));
    QTest::mouseRelease(m_window, Qt::LeftButton, Qt::NoModifier, QPoint(100, 100));
    QCOMPARE(m_window->position(), start + QPoint(40, -10));

    // Text without an area of its own, the online block and the status bar drag too.
    for (const QPoint &from : { QPoint(40, 150), QPoint(1200, 300), QPoint(600, 715) }) {
        const QPoint before = m_window->position();
        QTest::mousePress(m_window, Qt::LeftButton, Qt::NoModifier, from);
        QTest::mouseMove(m_window, from + QPoint(-5, 7));
        QTRY_COMPARE(m_window->position(), before + QPoint(-5, 7));
        QTest::mouseRelease(m_window, Qt::LeftButton, Qt::NoModifier, from);
    }
    QCOMPARE(m_controller->takeCalls(), QStringList());
}

void tst_Scene::pressOnAControlDoesNotDrag_data()
{
    QTest::addColumn<QString>("control");
    QTest::newRow("play button") << QStringLiteral("НАЧАТЬ ИГРАТЬ");
    QTest::newRow("header link") << QStringLiteral("ГЛАВНАЯ");
    QTest::newRow("server bar") << QStringLiteral("Сервер");
    QTest::newRow("news title") << QStringLiteral("Новость");
    QTest::newRow("exit button") << QString();
}

void tst_Scene::pressOnAControlDoesNotDrag()
{
    QFETCH(QString, control);
    publishNews(0, QStringLiteral("Новость"), QString(), QStringLiteral("https://site/news/n"));
    const QPoint from = control.isEmpty() ? QPoint(1280, 15) : Scene::centre(text(control));
    const QPoint start = m_window->position();

    // Pressed on the control, released far off it: neither a drag nor a click.
    QTest::mousePress(m_window, Qt::LeftButton, Qt::NoModifier, from);
    QTest::mouseMove(m_window, background);
    QTest::mouseRelease(m_window, Qt::LeftButton, Qt::NoModifier, background);
    QCoreApplication::processEvents();
    QCOMPARE(m_window->position(), start);
    QCOMPARE(m_controller->takeCalls(), QStringList());
    QVERIFY(!listOpen());
}

void tst_Scene::taskbarOverlayIsTheWindowsVariantOnlyThere()
{
    // Here the plain variant: an empty item.
    QQmlComponent plain(m_engine.get(), QUrl(QStringLiteral("qrc:/TaskbarOverlay.qml")));
    QVERIFY2(plain.isReady(), qPrintable(plain.errorString()));

    // With the Windows selector the engine takes the variant that needs
    // QtWinExtras, which this platform lacks.
    QQmlApplicationEngine windowsEngine;
    QQmlFileSelector::get(&windowsEngine)->setExtraSelectors({ QStringLiteral("windows") });
    QQmlComponent windows(&windowsEngine, QUrl(QStringLiteral("qrc:/TaskbarOverlay.qml")));
    QVERIFY(windows.isError());
    QVERIFY2(windows.errorString().contains(QLatin1String("QtWinExtras")),
             qPrintable(windows.errorString()));
}

void tst_Scene::picturesHaveTheirSizes_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<bool>("alpha");
    QTest::newRow("background") << QStringLiteral(":/Images/bg.png") << QSize(1282, 720) << false;
    QTest::newRow("logo") << QStringLiteral(":/Images/logo.png") << QSize(111, 36) << true;
    QTest::newRow("exit") << QStringLiteral(":/Images/exit.png") << QSize(16, 16) << true;
    QTest::newRow("badge") << QStringLiteral(":/Images/ico.png") << QSize(64, 64) << false;
    QTest::newRow("chevron down") << QStringLiteral(":/Images/selectMenu-open.png") << QSize(15, 9) << true;
    QTest::newRow("chevron up") << QStringLiteral(":/Images/selectMenu-close.png") << QSize(15, 9) << true;
}

void tst_Scene::picturesHaveTheirSizes()
{
    // The layout counts on these sizes (the logo's foot on y = 50, the
    // centred cross); a re-rendered picture must keep them.
    QFETCH(QString, path);
    QFETCH(QSize, size);
    QFETCH(bool, alpha);
    const QImage image(path);
    QCOMPARE(image.size(), size);
    QCOMPARE(image.hasAlphaChannel(), alpha);
}

QTEST_MAIN(tst_Scene)
#include "tst_scene.moc"

#include "frmabout.h"

#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <utility>

#include "common/addresses.h"
#include "common/application_title.h"
#include "common/artwork.h"
#include "common/build_config.h"
#include "common/twips.h"

namespace vellora {
namespace {

QLabel* makeLabel(QWidget* parent, const char* name, const QRect& geometry) {
    auto* label = new QLabel(parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setGeometry(geometry);
    label->setAttribute(Qt::WA_TranslucentBackground);  // transparent background
    return label;
}

constexpr int kShowNormal = 1;

}  // namespace

const QString frmAbout::kMakerName = QStringLiteral("The Vellora Project");
// No licence is named here: the project has not chosen one yet (see the package's
// copyright file), and the box must not promise more than it grants.
const QString frmAbout::kMakerStreet = QStringLiteral("Smaller picture files");
const QString frmAbout::kMakerCity = QStringLiteral("by the Vellora contributors");
const QString frmAbout::kLegalNotice = QStringLiteral("Copyright \u00a9 2026 The Vellora Project.");

frmAbout::frmAbout(QWidget* owner, ShellOpenFunction shellOpen)
    : QDialog(nullptr, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      m_owner(owner),
      m_shellOpen(std::move(shellOpen)) {
    setObjectName(QStringLiteral("frmAbout"));
    setWindowTitle(QStringLiteral("About MyApp"));
    setWindowIcon(artwork::windowIcon());
    setModal(false);
    setAttribute(Qt::WA_DeleteOnClose);  // closing unloads the window
    setSizeGripEnabled(false);
    // Every panel and label shows the window's own colour, the menu bar's.
    QPalette colours = palette();
    colours.setColor(QPalette::Window, colours.color(QPalette::Button));
    setPalette(colours);
    setAutoFillBackground(true);

    const QSize client(twipsToPixelsX(5760.0F), twipsToPixelsY(4245.0F));
    setFixedSize(client);

    m_picIcon = makeLabel(this, "picIcon", twipsRect(120.0F, 120.0F, 2250.0F, 750.0F));
    m_picIcon->setPixmap(artwork::logo());
    m_picIcon->resize(m_picIcon->pixmap().size());  // sizes itself to its picture
    m_picIcon->setCursor(Qt::PointingHandCursor);
    m_picIcon->installEventFilter(this);

    m_lblTitle = makeLabel(this, "lblTitle", twipsRect(2760.0F, 120.0F, 2805.0F, 360.0F));
    QFont titleFont(QStringLiteral("Arial"));
    titleFont.setPointSizeF(11.25);
    titleFont.setBold(true);
    m_lblTitle->setFont(titleFont);
    QPalette black = m_lblTitle->palette();
    black.setColor(QPalette::WindowText, Qt::black);
    m_lblTitle->setPalette(black);

    m_lblVersion = makeLabel(this, "lblVersion", twipsRect(2760.0F, 480.0F, 2925.0F, 225.0F));

    m_panel = new QWidget(this);
    m_panel->setObjectName(QStringLiteral("Picture1"));
    m_panel->setGeometry(twipsRect(0.0F, 2880.0F, 5535.0F, 1335.0F));

    QFont makerFont = font();
    makerFont.setPointSizeF(8.25);
    makerFont.setBold(true);
    const struct {
        int index;
        float top;
        float width;
        float height;
    } design[] = {{3, 0.0F, 3375.0F, 255.0F},
                  {4, 240.0F, 3375.0F, 255.0F},
                  {5, 480.0F, 3375.0F, 255.0F},
                  {2, 720.0F, 3735.0F, 255.0F},
                  {1, 1080.0F, 3405.0F, 345.0F}};
    for (const auto& d : design) {
        const QByteArray name = QByteArray("Label") + QByteArray::number(d.index);
        m_labels[d.index - 1] =
            makeLabel(m_panel, name.constData(), twipsRect(240.0F, d.top, d.width, d.height));
        if (d.index != 1) {
            m_labels[d.index - 1]->setFont(makerFont);
        }
    }
    m_labels[2]->setText(kMakerName);
    m_labels[3]->setText(kMakerStreet);
    m_labels[4]->setText(kMakerCity);
    m_labels[0]->setText(kLegalNotice);

    QLabel* link = m_labels[1];
    QFont linkFont = makerFont;
    linkFont.setUnderline(true);
    link->setFont(linkFont);
    QPalette highlight = link->palette();
    highlight.setColor(QPalette::WindowText, highlight.color(QPalette::Highlight));
    link->setPalette(highlight);
    const QString product = productPageAddress();
    link->setText(product.startsWith(QLatin1String("file:"))
                      ? QStringLiteral("Vellora manual (installed)")
                      : product);
    link->setToolTip(product);
    link->setCursor(Qt::PointingHandCursor);
    link->installEventFilter(this);

    m_continue = new QPushButton(QStringLiteral("Continue"), m_panel);
    m_continue->setObjectName(QStringLiteral("cmd_abt_1"));
    m_continue->setGeometry(twipsRect(4200.0F, 480.0F, 1245.0F, 345.0F));
    m_continue->setDefault(true);
    connect(m_continue, &QPushButton::clicked, this, [this] { cmd_abt_Click(1); });

    // Opens where its design puts it: the client area 2340 x 1935 twips from the
    // screen's top-left corner.
    move(twipsToPixelsX(2340.0F), twipsToPixelsY(1935.0F));

    Form_Load();
}

QLabel* frmAbout::Label(int index) const {
    return index >= 1 && index <= 5 ? m_labels[index - 1] : nullptr;
}

QPushButton* frmAbout::cmd_abt(int index) const {
    return index == 1 ? m_continue : nullptr;
}

void frmAbout::Form_Load() {
    const QString& title = kApplicationTitle;
    setWindowTitle(QStringLiteral("About ") + title);
    m_lblVersion->setText(QStringLiteral("Version %1.%2.%3")
                              .arg(VELLORA_VERSION_MAJOR)
                              .arg(VELLORA_VERSION_MINOR)
                              .arg(VELLORA_VERSION_REVISION));
    m_lblTitle->setText(title);
}

void frmAbout::picIcon_Click() {
    m_shellOpen(m_owner, homePageAddress(), kShowNormal);
}

void frmAbout::Label2_Click() {
    m_shellOpen(m_owner, productPageAddress(), kShowNormal);
}

void frmAbout::cmd_abt_Click(int Index) {
    if (Index == 1) {
        close();
    }
}

void frmAbout::paintEvent(QPaintEvent* event) {
    QDialog::paintEvent(event);
    // The etched separator above the panel: a grey line with a white one under it.
    QPainter painter(this);
    painter.setPen(QPen(QColor(128, 128, 128), 1));
    painter.drawLine(QPoint(twipsToPixelsX(120.0F), twipsToPixelsY(2805.0F)),
                     QPoint(twipsToPixelsX(5684.0F), twipsToPixelsY(2805.0F)));
    painter.setPen(QPen(Qt::white, 2));
    painter.drawLine(QPoint(twipsToPixelsX(135.0F), twipsToPixelsY(2820.0F) + 1),
                     QPoint(twipsToPixelsX(5684.0F), twipsToPixelsY(2820.0F) + 1));
}

bool frmAbout::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        if (watched == m_picIcon) {
            picIcon_Click();
            return true;
        }
        if (watched == m_labels[1]) {
            Label2_Click();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

}  // namespace vellora

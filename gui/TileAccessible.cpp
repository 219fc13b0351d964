#include "gui/TileAccessible.h"

#include <QAccessibleWidget>
#include <QLabel>

#include "gui/StationTile.h"

namespace {

// Shown, but clipped away by the scroll area: a reader must not announce it as on the screen.
bool ScrolledAway(const QWidget* w) { return w->isVisible() && w->visibleRegion().isEmpty(); }

class TTileAccessible : public QAccessibleWidget {
public:
    explicit TTileAccessible(QWidget* tile) : QAccessibleWidget(tile, QAccessible::Grouping) {}

    int childCount() const override { return static_cast<int>(Parts().size()); }
    QAccessibleInterface* child(int index) const override {
        const QList<QWidget*> parts = Parts();
        return index >= 0 && index < parts.size() ? QAccessible::queryAccessibleInterface(parts[index]) : nullptr;
    }
    int indexOfChild(const QAccessibleInterface* child) const override {
        return child ? static_cast<int>(Parts().indexOf(qobject_cast<QWidget*>(child->object()))) : -1;
    }
    QAccessible::State state() const override {
        QAccessible::State s = QAccessibleWidget::state();
        s.offscreen = s.offscreen || ScrolledAway(widget());
        return s;
    }

private:
    // The port's name label says what the group's name says: it is not read out a second time.
    QList<QWidget*> Parts() const {
        QList<QWidget*> parts;
        for (QObject* o : widget()->children())
            if (auto* w = qobject_cast<QWidget*>(o); w && !w->isWindow() && w->objectName() != "PortLabel") parts << w;
        return parts;
    }
};

class TTileLabelAccessible : public QAccessibleWidget {
public:
    explicit TTileLabelAccessible(QWidget* label) : QAccessibleWidget(label, QAccessible::StaticText) {}
    QAccessible::State state() const override {
        QAccessible::State s = QAccessibleWidget::state();
        s.offscreen = s.offscreen || ScrolledAway(widget());
        return s;
    }
};

QAccessibleInterface* TileInterface(const QString& key, QObject* object) {
    if (key == QLatin1String("TStationTile")) return new TTileAccessible(static_cast<QWidget*>(object));
    if (key == QLatin1String("QLabel") && qobject_cast<TStationTile*>(object->parent()))
        return new TTileLabelAccessible(static_cast<QWidget*>(object));
    return nullptr;
}

}  // namespace

void InstallTileAccessibility() {
    static const bool installed = (QAccessible::installFactory(TileInterface), true);
    (void)installed;
}

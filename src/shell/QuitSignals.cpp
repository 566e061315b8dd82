#include "shell/QuitSignals.h"

#include "platform/SignalNotifier.h"

#include <QCoreApplication>

#include <algorithm>
#include <csignal>

QuitSignals::QuitSignals(QObject *parent)
    : QObject(parent)
{
    SignalNotifier &notifier = SignalNotifier::instance();
    for (const int signal : quitSignals)
        notifier.watch(signal);
    QObject::connect(&notifier, &SignalNotifier::received, this, [](int signal) {
        if (std::find(std::begin(quitSignals), std::end(quitSignals), signal) != std::end(quitSignals))
            QCoreApplication::quit();
    });
}

#pragma once

#include <QString>
#include <QUrl>

// The product website's pages that the screens open in the default browser.
//
// The website's address is a constant of the build (CMake cache variable
// VELORIN_WEBSITE_URL, "https://velorin.example" by default). Like the
// backend endpoints, the environment variable of the same name replaces it
// at run time. Every page is an absolute http(s) URL; a page whose address
// cannot form one is an invalid (empty) QUrl, and the screens leave its link
// out.
namespace Website {

// The website's address in use (the environment's value or the build's),
// without trailing slashes.
QString base();

// `base` followed by `path`, or an invalid QUrl when that is not an
// absolute http or https URL with a host.
QUrl page(const QString &base, const QString &path);

QUrl home(); // "/"
QUrl manageSubscription(); // "/vpn/"
QUrl support(); // "/support"
QUrl privacyPolicy(); // "/privacy"
QUrl termsOfService(); // "/terms"

// Opens the page in the user's browser; false when the desktop cannot.
bool open(const QUrl &page);

} // namespace Website

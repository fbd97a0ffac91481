// SPDX-License-Identifier: MIT
#include "framemargins.h"

#include <QDeadlineTimer>
#include <QGuiApplication>
#include <QThread>
#include <QWidget>

#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

// An X11 window manager frames a window only once it is mapped, and Qt learns the frame
// after that: placed without it, the window would first show off centre, then jump. The
// window manager is asked instead how it will frame this window (_NET_REQUEST_FRAME_EXTENTS);
// it answers in the window's _NET_FRAME_EXTENTS. Without an answer, Qt's own knowledge.

namespace {

// Long enough for a busy window manager, short enough not to delay a start without one.
constexpr int AnswerMs = 500;

template<typename T> using Reply = std::unique_ptr<T, decltype(&std::free)>;

xcb_atom_t atom(xcb_connection_t *connection, const char *name)
{
    const Reply<xcb_intern_atom_reply_t> reply(
        xcb_intern_atom_reply(
            connection, xcb_intern_atom(connection, 0, uint16_t(qstrlen(name)), name), nullptr),
        &std::free);
    return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

Reply<xcb_get_property_reply_t> property(
    xcb_connection_t *connection, xcb_window_t window, xcb_atom_t name, uint32_t longs)
{
    return Reply<xcb_get_property_reply_t>(
        xcb_get_property_reply(connection,
            xcb_get_property(connection, 0, window, name, XCB_ATOM_ANY, 0, longs), nullptr),
        &std::free);
}

} // namespace

QMargins frameMarginsBeforeShow(QWidget *window)
{
    const auto *x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    xcb_connection_t *connection = x11 ? x11->connection() : nullptr;
    if (!connection)
        return knownFrameMargins(window);
    const xcb_window_t id = xcb_window_t(window->winId());
    const Reply<xcb_get_geometry_reply_t> geometry(
        xcb_get_geometry_reply(connection, xcb_get_geometry(connection, id), nullptr), &std::free);
    const xcb_atom_t request = atom(connection, "_NET_REQUEST_FRAME_EXTENTS");
    const xcb_atom_t extents = atom(connection, "_NET_FRAME_EXTENTS");
    const xcb_atom_t supported = atom(connection, "_NET_SUPPORTED");
    if (!geometry || request == XCB_ATOM_NONE || extents == XCB_ATOM_NONE)
        return knownFrameMargins(window);

    // A window manager that does not offer the request would leave us waiting for nothing.
    const auto offered = property(connection, geometry->root, supported, 1024);
    const auto *atoms = offered && offered->format == 32
        ? static_cast<const xcb_atom_t *>(xcb_get_property_value(offered.get()))
        : nullptr;
    const int count = atoms ? xcb_get_property_value_length(offered.get()) / 4 : 0;
    if (std::find(atoms, atoms + count, request) == atoms + count)
        return knownFrameMargins(window);

    xcb_client_message_event_t message {};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = id;
    message.type = request;
    xcb_send_event(connection, 0, geometry->root,
        XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT,
        reinterpret_cast<const char *>(&message));
    xcb_flush(connection);

    const QDeadlineTimer deadline(AnswerMs);
    do {
        const auto answer = property(connection, id, extents, 4);
        if (answer && answer->format == 32 && xcb_get_property_value_length(answer.get()) == 16) {
            // Left, right, top, bottom.
            const auto *sides = static_cast<const uint32_t *>(xcb_get_property_value(answer.get()));
            return QMargins(int(sides[0]), int(sides[2]), int(sides[1]), int(sides[3]));
        }
        QThread::msleep(5);
    } while (!deadline.hasExpired());
    return knownFrameMargins(window);
}

#pragma once

// Owners for GLib and GIO handles, so that every handle is released by the object that holds it.
// GUniquePtr<T> frees a plain C value with its type's free function; GRefPtr<T> holds one
// reference to a GObject (or GstObject) and sinks floating references. The other libraries'
// deleters live beside this header, one per library, so that an adapter includes only its own.

#include <gio/gio.h>
#include <glib.h>

#include <memory>
#include <utility>

template <typename T> struct GDeleter;

#define ZELNA_DEFINE_G_DELETER(Type, freeFunction)                                                                     \
    template <> struct GDeleter<Type> {                                                                                \
        void operator()(Type* pointer) const noexcept                                                                  \
        {                                                                                                              \
            if (pointer)                                                                                               \
                freeFunction(pointer);                                                                                 \
        }                                                                                                              \
    };

ZELNA_DEFINE_G_DELETER(GError, g_error_free)
ZELNA_DEFINE_G_DELETER(gchar, g_free)
ZELNA_DEFINE_G_DELETER(gchar*, g_strfreev)
ZELNA_DEFINE_G_DELETER(GVariant, g_variant_unref)
ZELNA_DEFINE_G_DELETER(GVariantBuilder, g_variant_builder_unref)
ZELNA_DEFINE_G_DELETER(GVariantIter, g_variant_iter_free)
ZELNA_DEFINE_G_DELETER(GKeyFile, g_key_file_unref)
ZELNA_DEFINE_G_DELETER(GMainLoop, g_main_loop_unref)
ZELNA_DEFINE_G_DELETER(GMainContext, g_main_context_unref)
ZELNA_DEFINE_G_DELETER(GSource, g_source_unref)
ZELNA_DEFINE_G_DELETER(GBytes, g_bytes_unref)
ZELNA_DEFINE_G_DELETER(GDBusNodeInfo, g_dbus_node_info_unref)
ZELNA_DEFINE_G_DELETER(GUri, g_uri_unref)
ZELNA_DEFINE_G_DELETER(GMarkupParseContext, g_markup_parse_context_free)
ZELNA_DEFINE_G_DELETER(GSettingsSchema, g_settings_schema_unref)
// A pool goes once the work queued in it has run.
ZELNA_DEFINE_G_DELETER(GThreadPool, [](GThreadPool* pool) { g_thread_pool_free(pool, FALSE, TRUE); })

template <typename T> using GUniquePtr = std::unique_ptr<T, GDeleter<T>>;

/// Takes ownership of a returned GError** result: `GUniqueOutPtr<GError> error; f(&error.outPtr());`
template <typename T> class GUniqueOutPtr {
public:
    GUniqueOutPtr() = default;
    GUniqueOutPtr(const GUniqueOutPtr&) = delete;
    GUniqueOutPtr& operator=(const GUniqueOutPtr&) = delete;
    ~GUniqueOutPtr() { reset(); }

    T*& outPtr()
    {
        reset();
        return m_pointer;
    }
    T* get() const { return m_pointer; }
    T* operator->() const { return m_pointer; }
    explicit operator bool() const { return m_pointer; }
    GUniquePtr<T> release() { return GUniquePtr<T>(std::exchange(m_pointer, nullptr)); }

private:
    void reset() { GDeleter<T>()(std::exchange(m_pointer, nullptr)); }
    T* m_pointer = nullptr;
};

/// One strong reference to a GObject (or GstObject, which is one).
template <typename T> class GRefPtr {
public:
    GRefPtr() = default;
    GRefPtr(std::nullptr_t) { }
    GRefPtr(const GRefPtr& other)
        : m_pointer(other.m_pointer)
    {
        if (m_pointer)
            g_object_ref(m_pointer);
    }
    GRefPtr(GRefPtr&& other) noexcept
        : m_pointer(std::exchange(other.m_pointer, nullptr))
    {
    }
    GRefPtr& operator=(GRefPtr other) noexcept
    {
        std::swap(m_pointer, other.m_pointer);
        return *this;
    }
    ~GRefPtr()
    {
        if (m_pointer)
            g_object_unref(m_pointer);
    }

    /// Adopts a reference the caller owns (a "transfer full" return value). Floating
    /// references are sunk rather than adopted.
    static GRefPtr adopt(T* pointer)
    {
        GRefPtr ref;
        if (pointer && g_object_is_floating(pointer))
            g_object_ref_sink(pointer);
        ref.m_pointer = pointer;
        return ref;
    }
    /// Takes a new reference to a pointer the caller does not own.
    static GRefPtr share(T* pointer)
    {
        GRefPtr ref;
        if (pointer)
            ref.m_pointer = static_cast<T*>(g_object_ref_sink(pointer));
        return ref;
    }

    T* get() const { return m_pointer; }
    T* operator->() const { return m_pointer; }
    explicit operator bool() const { return m_pointer; }
    void reset() { *this = GRefPtr(); }
    /// Hands the reference to the caller, who must release it.
    T* leakRef() { return std::exchange(m_pointer, nullptr); }

private:
    T* m_pointer = nullptr;
};

#pragma once

#include "fakes/EventLog.h"
#include "ports/StatusBar.h"

#include <vector>

class FakeStatusButton final : public StatusBarButton {
public:
    explicit FakeStatusButton(EventLog& log) : m_log(log) { }
    void setImage(std::shared_ptr<Image> value) override { m_log.add("button image"); image = std::move(value); ++imagesSet; }
    void setTitle(std::string value) override { m_log.add("button title '" + value + "'"); title = std::move(value); }
    void setFont(Font value) override { font = value; }

    std::shared_ptr<Image> image;
    std::string title = "<unset>";
    std::optional<Font> font;
    int imagesSet = 0;

private:
    EventLog& m_log;
};

class FakeStatusItem final : public StatusItem {
public:
    FakeStatusItem(EventLog& log, bool hasButton) : m_log(log), m_button(log), m_hasButton(hasButton) { }
    StatusBarButton* button() override { return m_hasButton ? &m_button : nullptr; }
    void setMenu(std::shared_ptr<Menu> value) override
    {
        m_log.add("set menu");
        menu = std::move(value);
        ++menusSet;
    }
    FakeStatusButton& fakeButton() { return m_button; }

    std::shared_ptr<Menu> menu;
    int menusSet = 0;

private:
    EventLog& m_log;
    FakeStatusButton m_button;
    bool m_hasButton;
};

class FakeStatusBar final : public StatusBar {
public:
    explicit FakeStatusBar(EventLog& log) : m_log(log) { }
    std::shared_ptr<StatusItem> statusItemWithLength(double length) override
    {
        m_log.add("status item");
        lengths.push_back(length);
        items.push_back(std::make_shared<FakeStatusItem>(m_log, true));
        return items.back();
    }
    std::vector<double> lengths;
    std::vector<std::shared_ptr<FakeStatusItem>> items;

private:
    EventLog& m_log;
};

// Change notification by topic.
#pragma once

class IRtObserver {
public:
    virtual void OnObserve(const char* aTopic, void* aData) = 0;

protected:
    virtual ~IRtObserver() {}
};

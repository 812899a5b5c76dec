// How the test component libraries export their entry points.
#ifndef INFRA_TESTS_COMPONENT_COMPONENTLIBRARYEXPORT_H
#define INFRA_TESTS_COMPONENT_COMPONENTLIBRARYEXPORT_H

#if defined(_WIN32)
#define TEST_COMPONENT_EXPORT extern "C" __declspec(dllexport)
#else
#define TEST_COMPONENT_EXPORT extern "C" __attribute__((visibility("default")))
#endif

#endif  // INFRA_TESTS_COMPONENT_COMPONENTLIBRARYEXPORT_H

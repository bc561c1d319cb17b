# RT_SANITIZE applies to every target of the build, third-party code included,
# so that instrumented and plain code never mix.
if(RT_SANITIZE)
  if(RT_SANITIZE MATCHES "thread" AND RT_SANITIZE MATCHES "address")
    message(FATAL_ERROR "RT_SANITIZE: thread and address cannot be combined")
  endif()
  add_compile_options(-fsanitize=${RT_SANITIZE} -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=${RT_SANITIZE})
  if(RT_SANITIZE MATCHES "undefined")
    add_compile_options(-fno-sanitize-recover=undefined)
  endif()
endif()

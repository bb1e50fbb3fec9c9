#include "measurement/engine/app_delegate_interceptor.h"

const std::shared_ptr<APMAppDelegateInterceptor>& APMAppDelegateInterceptor::sharedInstance() {
  static const std::shared_ptr<APMAppDelegateInterceptor> instance =
      std::make_shared<APMAppDelegateInterceptor>();
  return instance;
}

APMAppStaticConfig& APMAppStaticConfig::sharedInstance() {
  static APMAppStaticConfig instance;
  return instance;
}

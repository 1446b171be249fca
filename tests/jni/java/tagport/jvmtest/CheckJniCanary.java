package tagport.jvmtest;

/**
 * Misuses JNI on purpose, so the test runner can show that it notices the
 * JVM's CheckJNI warnings at all.
 */
public final class CheckJniCanary {
  private CheckJniCanary() {}

  public static void main(String[] args) {
    LibraryProbes.overflowLocalReferences(1000);
  }
}

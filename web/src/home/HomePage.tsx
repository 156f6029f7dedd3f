export function HomePage() {
  return (
    <main>
      <h1>Products and templates</h1>
    </main>
  );
}

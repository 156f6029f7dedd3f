import { QueryClient, QueryClientProvider } from "@tanstack/react-query";
import { useState } from "react";
import { createBrowserRouter, Link, Outlet, RouterProvider, type RouteObject } from "react-router-dom";
import { isSessionExpired } from "./api/errors";
import { AuthProvider } from "./auth/AuthContext";
import { RequireAuth } from "./auth/RequireAuth";
import { SetupPage } from "./auth/SetupPage";
import { SignInPage } from "./auth/SignInPage";
import { ClipboardProvider } from "./editor/clipboard";
import { HomePage } from "./home/HomePage";
import Preview from "./preview/Preview";
import { AppShell } from "./shell/AppShell";

export function makeQueryClient(): QueryClient {
  return new QueryClient({
    defaultOptions: {
      queries: {
        // An ended session is not retried: the user signs in again first.
        retry: (count, error) => !isSessionExpired(error) && count < 2,
        refetchOnWindowFocus: false,
        staleTime: 10_000,
      },
      mutations: { retry: false },
    },
  });
}

function NotFound() {
  return (
    <main>
      <h1>Page not found</h1>
      <p>
        There is nothing at this address. <Link to="/">Go to products and templates</Link>.
      </p>
    </main>
  );
}

function Root() {
  return (
    <AuthProvider>
      <ClipboardProvider>
        <Outlet />
      </ClipboardProvider>
    </AuthProvider>
  );
}

/**
 * Routes:
 *   /signin[?next=]         sign-in
 *   /setup?secret=          the first administrator
 *   /                       products and templates
 *   /edit/:treeType/:id     the tree editor (treeType 1 = product, 2 = template)
 *   /preview/:treeType/:id  the preview as an audience
 */
export const routes: RouteObject[] = [
  {
    element: <Root />,
    children: [
      { path: "/signin", element: <SignInPage /> },
      { path: "/setup", element: <SetupPage /> },
      {
        element: (
          <RequireAuth>
            <AppShell />
          </RequireAuth>
        ),
        children: [
          { index: true, element: <HomePage /> },
          {
            path: "/edit/:treeType/:id",
            // The editor (and its tree panel) loads when first opened.
            lazy: async () => ({ Component: (await import("./editor/EditorPage")).EditorPage }),
          },
          { path: "/preview/:treeType/:id", element: <Preview /> },
          { path: "*", element: <NotFound /> },
        ],
      },
    ],
  },
];

export function App({ queryClient }: { queryClient?: QueryClient }) {
  const [client] = useState(() => queryClient ?? makeQueryClient());
  const [router] = useState(() => createBrowserRouter(routes));
  return (
    <QueryClientProvider client={client}>
      <RouterProvider router={router} />
    </QueryClientProvider>
  );
}
